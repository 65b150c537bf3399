#pragma once

#include <cstdio>
#include <sys/types.h>

class CSourceFile;

// A read stream (FILE*) on a descriptor whose reads wait with poll in steps
// of kPollMs and give up when the owning source is asked to stop: a pipe or
// FIFO whose writer is silent must not keep a reader thread blocked for
// ever. While a read waits for data that has not come, the owner's input
// module is told (SetFeedWaiting). The stream owns the descriptor; fclose
// closes both. Used by the owner's reader thread only.
class CPolledFdStream
{
public:
    static constexpr int kPollMs = 100; // longest wait between looks at the stop flag, ms

    // Null (the descriptor closed) when the stream cannot be made.
    static FILE* Open(int nFd, const CSourceFile* pOwner);

private:
    CPolledFdStream(int nFd, const CSourceFile* pOwner) : m_nFd(nFd), m_pOwner(pOwner) {}
    static ssize_t Read(void* pCookie, char* pBuf, size_t nSize) noexcept;
    static int Close(void* pCookie) noexcept;
    void SetWaiting(bool bWaiting) noexcept;

    int m_nFd;
    const CSourceFile* m_pOwner; // outlives the stream: it closes the stream first
};

// True when path names a FIFO (after symbolic links: /dev/stdin on a pipe).
bool IsFifoPath(const char* path);
