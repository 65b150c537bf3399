#include "io/CPolledFdStream.h"

#include "braidmill.h"

#include <cerrno>
#include <new>
#include <poll.h>
#include <unistd.h>

FILE* CPolledFdStream::Open(int nFd, const CSourceFile* pOwner)
{
    auto* pStream = new (std::nothrow) CPolledFdStream(nFd, pOwner);
    if (pStream == nullptr) {
        ::close(nFd);
        return nullptr;
    }
    cookie_io_functions_t io{};
    io.read = &CPolledFdStream::Read;
    io.close = &CPolledFdStream::Close;
    FILE* pFile = fopencookie(pStream, "rb", io);
    if (pFile == nullptr) {
        Close(pStream);
    }
    return pFile;
}

ssize_t CPolledFdStream::Read(void* pCookie, char* pBuf, size_t nSize) noexcept
{
    auto* pStream = static_cast<CPolledFdStream*>(pCookie);
    bool bWaiting = false; // told the module that the reader waits for data
    for (;;) {
        // A stop reads as the end of the stream: the reader then ends its
        // input, as it does at the end of a file.
        if (pStream->m_pOwner != nullptr && pStream->m_pOwner->IsStopRequested()) {
            return 0;
        }
        // Poll first: a FIFO opened without a writer would read as ended.
        // Linux reports POLLHUP on it only once a writer has come and gone.
        // The first look does not wait, so that an empty pipe is known at
        // once: in real time the output does not wait long for it.
        pollfd pfd{};
        pfd.fd = pStream->m_nFd;
        pfd.events = POLLIN;
        const int nReady = ::poll(&pfd, 1, bWaiting ? kPollMs : 0);
        if (nReady < 0 && errno != EINTR) {
            return -1;
        }
        if (nReady <= 0) {
            if (!bWaiting && nReady == 0) {
                bWaiting = true;
                pStream->SetWaiting(true);
            }
            continue;
        }
        const ssize_t nRead = ::read(pStream->m_nFd, pBuf, nSize);
        if (nRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        if (bWaiting) {
            pStream->SetWaiting(false);
        }
        return nRead;
    }
}

void CPolledFdStream::SetWaiting(bool bWaiting) noexcept
{
    if (m_pOwner != nullptr && m_pOwner->m_pRecvModule != nullptr) {
        m_pOwner->m_pRecvModule->SetFeedWaiting(bWaiting);
    }
}

int CPolledFdStream::Close(void* pCookie) noexcept
{
    auto* pStream = static_cast<CPolledFdStream*>(pCookie);
    const int nRc = ::close(pStream->m_nFd);
    delete pStream;
    return nRc;
}
