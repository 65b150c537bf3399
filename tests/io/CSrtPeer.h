#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

// The real SRT peer of the tests: srt-live-transmit as a child process,
// bounded by its own exit timer and killed by its PID at the latest when
// the object goes, so that a failing test leaves nothing running.
namespace iokit {

inline constexpr const char* kSrtLiveTransmit = "/usr/bin/srt-live-transmit";

class CSrtPeer
{
public:
    CSrtPeer() = default;
    ~CSrtPeer() { Stop(SIGKILL); }
    CSrtPeer(const CSrtPeer&) = delete;
    CSrtPeer& operator=(const CSrtPeer&) = delete;

    static bool IsInstalled() { return access(kSrtLiveTransmit, X_OK) == 0; }

    // srt-live-transmit sIn sOut for at most nSeconds; its standard output
    // (file://con) goes to sStdout, its standard error to sStdout + ".err".
    // It ends when its connection ends.
    bool Start(const std::string& sIn, const std::string& sOut, const std::string& sStdout,
               int nSeconds = 20)
    {
        Stop(SIGKILL);
        const std::string sTimer = "-t:" + std::to_string(nSeconds);
        const std::string sErr = sStdout + ".err";
        std::vector<std::string> vArgs = {kSrtLiveTransmit, sTimer, "-a:no", sIn, sOut};
        std::vector<char*> vArgv;
        for (std::string& s : vArgs) {
            vArgv.push_back(s.data());
        }
        vArgv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, sStdout.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, sErr.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int nRc =
            posix_spawn(&m_nPid, kSrtLiveTransmit, &actions, nullptr, vArgv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (nRc != 0) {
            m_nPid = -1;
        }
        return nRc == 0;
    }

    // Sends nSignal and waits up to 5 s for the exit, then kills. SIGINT
    // closes its connection the way a user's Ctrl-C does.
    void Stop(int nSignal = SIGINT)
    {
        if (m_nPid <= 0) {
            return;
        }
        kill(m_nPid, nSignal);
        if (!WaitExit(5000)) {
            kill(m_nPid, SIGKILL);
            waitpid(m_nPid, nullptr, 0);
        }
        m_nPid = -1;
    }

    // True once it has ended by itself within nMs (it then needs no Stop).
    bool WaitExit(int nMs)
    {
        if (m_nPid <= 0) {
            return true;
        }
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        do {
            if (waitpid(m_nPid, nullptr, WNOHANG) == m_nPid) {
                m_nPid = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < tEnd);
        return false;
    }

private:
    pid_t m_nPid = -1;
};

// Waits until something has bound UDP port nPort (a listening peer), up to nMs.
inline bool WaitUdpPortTaken(uint16_t nPort, int nMs = 5000)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    do {
        const int nFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(nPort);
        const bool bTaken =
            bind(nFd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 && errno == EADDRINUSE;
        close(nFd);
        if (bTaken) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < tEnd);
    return false;
}

// Waits up to nMs for f() to hold.
template <class F> bool WaitFor(F f, int nMs = 10000)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!f()) {
        if (std::chrono::steady_clock::now() >= tEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace iokit
