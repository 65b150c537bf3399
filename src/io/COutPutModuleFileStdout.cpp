// The file sink on standard output.
#include "braidmill.h"

#include <fcntl.h>
#include <unistd.h>

int COutPutModuleFile::OpenStdout()
{
    if (m_pFile != nullptr) {
        Destroy(); // reopening must not leak the stream that is open
    }
    // A duplicate: the sink's close must not close descriptor 1, and a
    // client that points descriptor 1 elsewhere afterwards (so that nothing
    // but the multiplex reaches the real standard output) keeps this one.
    const int nFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (nFd < 0) {
        return -1;
    }
    m_pFile = fdopen(nFd, "wb");
    if (m_pFile == nullptr) {
        close(nFd);
        return -1;
    }
    m_nWriteErrors = 0; // errors are those of the stream now open
    return 0;
}
