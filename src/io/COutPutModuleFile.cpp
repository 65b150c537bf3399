// The file sink: writes each batch of output packets straight to the file
// descriptor, without a stdio buffer, so that a full disk fails the very
// write that hits it and the engine can stop the run at once instead of
// learning it at the close. RenderOnePacket and RenderPackets run on the
// engine's output thread only; OpenFile, Destroy and the destructor come from
// the client before Run or after WaitFinish, so the sink needs no lock.
#include "braidmill.h"

#include "ts/TsConstants.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Writes all of nBytes, resuming after short writes and signals; false on
// the first failure (bytes written before it stay in the file).
bool WriteAll(int nFd, const unsigned char* pData, size_t nBytes)
{
    while (nBytes > 0) {
        const ssize_t nDone = write(nFd, pData, nBytes);
        if (nDone < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (nDone == 0) {
            return false;
        }
        pData += nDone;
        nBytes -= size_t(nDone);
    }
    return true;
}

// Cuts a packet that a failed write left half written, so that the file
// holds whole packets only; regular files only (a pipe or device cannot be
// cut). Returns the number of failures.
int TrimToWholePackets(int nFd)
{
    struct stat st = {};
    if (fstat(nFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return 0;
    }
    const off_t nWhole = st.st_size - st.st_size % kTsPacketSize;
    if (nWhole == st.st_size) {
        return 0;
    }
    return ftruncate(nFd, nWhole) == 0 ? 0 : 1;
}

// Closes; returns the number of failures (the data went out with write(2),
// so only the close itself can still fail, e.g. on a network file system).
int CloseCounted(FILE* pFile, bool bTrim)
{
    int nErrors = 0;
    if (bTrim) {
        nErrors += TrimToWholePackets(fileno(pFile));
    }
    if (fclose(pFile) != 0) {
        ++nErrors;
    }
    return nErrors;
}

} // namespace

COutPutModuleFile::COutPutModuleFile() : m_pFile(nullptr), m_nWriteErrors(0) {}

COutPutModuleFile::~COutPutModuleFile()
{
    if (m_pFile != nullptr) {
        CloseCounted(m_pFile, m_nWriteErrors > 0);
        m_pFile = nullptr;
    }
}

int COutPutModuleFile::OpenFile(const char* path)
{
    if (m_pFile != nullptr) {
        // Reopening must not leak the stream that is open.
        m_nWriteErrors += CloseCounted(m_pFile, m_nWriteErrors > 0);
        m_pFile = nullptr;
    }
    if (path == nullptr) {
        return -1;
    }
    m_pFile = fopen(path, "wb");
    if (m_pFile == nullptr) {
        return -1;
    }
    m_nWriteErrors = 0; // errors are those of the file now open
    return 0;
}

void COutPutModuleFile::RenderOnePacket(unsigned char* packet)
{
    RenderPackets(packet, 1);
}

void COutPutModuleFile::RenderPackets(unsigned char* packets, int nCount)
{
    // After a failure nothing more is written: later packets after a gap
    // would be worse than a clean end, and the engine is stopping anyway.
    if (m_pFile == nullptr || nCount <= 0 || m_nWriteErrors > 0) {
        return;
    }
    if (!WriteAll(fileno(m_pFile), packets, size_t(nCount) * kTsPacketSize)) {
        ++m_nWriteErrors;
    }
}

void COutPutModuleFile::Destroy()
{
    if (m_pFile == nullptr) {
        return;
    }
    m_nWriteErrors += CloseCounted(m_pFile, m_nWriteErrors > 0);
    m_pFile = nullptr;
}

bool COutPutModuleFile::HasWriteError() const
{
    return m_nWriteErrors > 0;
}

int COutPutModuleFile::GetWriteIntervalMs() const
{
    // The page cache takes the bytes; a wake-up and a write every 2 ms would
    // cost more than the rest of the multiplex.
    return 10;
}
