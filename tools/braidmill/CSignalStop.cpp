#include "CSignalStop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_vOld[3]; // the handlers Install replaced, in kStopSignals order
struct sigaction g_oldPipe; // SIGPIPE's, likewise

} // namespace

std::atomic<int> CSignalStop::s_nSignal{0};
std::atomic<int> CSignalStop::s_nWriteFd{-1};

CSignalStop::~CSignalStop()
{
    if (m_bInstalled) {
        for (size_t i = 0; i < 3; ++i) {
            sigaction(kStopSignals[i], &g_vOld[i], nullptr);
        }
        sigaction(SIGPIPE, &g_oldPipe, nullptr);
    }
    s_nWriteFd.store(-1);
    for (int nFd : m_vPipe) {
        if (nFd >= 0) {
            close(nFd);
        }
    }
}

bool CSignalStop::Install()
{
    if (pipe2(m_vPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    s_nWriteFd.store(m_vPipe[1]);
    struct sigaction action = {};
    action.sa_handler = &CSignalStop::Handle;
    sigemptyset(&action.sa_mask);
    // Interrupted reads and writes resume; the watcher sees the pipe instead.
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < 3; ++i) {
        if (sigaction(kStopSignals[i], &action, &g_vOld[i]) != 0) {
            return false;
        }
    }
    // An output pipe or FIFO whose reader went away must end the run as a
    // failed write, said and cleanly closed, not kill the process.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, &g_oldPipe) != 0) {
        return false;
    }
    m_bInstalled = true;
    return true;
}

void CSignalStop::Handle(int nSignal)
{
    int nExpected = 0;
    if (!s_nSignal.compare_exchange_strong(nExpected, nSignal)) {
        // A second signal: the user will not wait for a clean end.
        signal(nSignal, SIG_DFL);
        raise(nSignal);
        return;
    }
    const int nSavedErrno = errno;
    const int nFd = s_nWriteFd.load();
    if (nFd >= 0) {
        const unsigned char nByte = static_cast<unsigned char>(nSignal);
        ssize_t nIgnored = write(nFd, &nByte, 1);
        (void)nIgnored; // a full pipe already holds a wake-up
    }
    errno = nSavedErrno;
}

int CSignalStop::Wait(int nTimeoutMs) const
{
    if (m_vPipe[0] >= 0) {
        pollfd pfd = {m_vPipe[0], POLLIN, 0};
        poll(&pfd, 1, nTimeoutMs);
        unsigned char vDrain[16];
        while (read(m_vPipe[0], vDrain, sizeof vDrain) > 0) {
        }
    } else {
        poll(nullptr, 0, nTimeoutMs); // not installed: still a wait, not a spin
    }
    return GetSignal();
}

void CSignalStop::Wake() const
{
    if (m_vPipe[1] >= 0) {
        const unsigned char nByte = 0;
        ssize_t nIgnored = write(m_vPipe[1], &nByte, 1);
        (void)nIgnored;
    }
}

const char* CSignalStop::Name(int nSignal)
{
    switch (nSignal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}
