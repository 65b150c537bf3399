// The file source's opening of pipes, FIFOs and standard input. Reading
// stays CSourceFile's: these hand it a stream whose reads wait in steps and
// notice a stop (CPolledFdStream).
#include "braidmill.h"

#include "io/CPolledFdStream.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int CSourceFile::OpenFd(int fd, const char* name)
{
    if (fd < 0) {
        return -1;
    }
    FILE* pFile = CPolledFdStream::Open(fd, this);
    if (pFile == nullptr) {
        return -1;
    }
    if (m_pFile != nullptr) {
        fclose(m_pFile); // reopening must not leak the first stream
    }
    m_pFile = pFile;
    const char* szName = name != nullptr ? name : "";
    const size_t nLen = strnlen(szName, sizeof(m_szFileName) - 1);
    std::memcpy(m_szFileName, szName, nLen);
    m_szFileName[nLen] = '\0';
    return 0;
}

int CSourceFile::OpenStdin()
{
    // A duplicate, so that closing the stream leaves descriptor 0 alone. Its
    // blocking mode is not changed: the open file description may be shared
    // with other processes; poll before each read is enough.
    return OpenFd(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3), "stdin");
}

int CSourceFile::OpenFifo(const char* path)
{
    // Without O_NONBLOCK the open itself would wait for a writer, in the
    // caller's thread, possibly for ever.
    return OpenFd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC), path);
}

bool IsFifoPath(const char* path)
{
    struct stat st = {};
    return path != nullptr && stat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}
