// The file sink: appends each output packet to a file through a buffered
// stream. RenderOnePacket runs on the engine's output thread only; OpenFile,
// Destroy and the destructor come from the client before Run or after
// WaitFinish, so the sink needs no lock.
#include "braidmill.h"

#include "ts/TsConstants.h"

namespace {

// Flushes and closes; returns the number of failures. A buffered stream
// usually reports a full disk only here, not at the fwrite that filled it.
int CloseCounted(FILE* pFile)
{
    int nErrors = 0;
    if (fflush(pFile) != 0) {
        ++nErrors;
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
        CloseCounted(m_pFile);
        m_pFile = nullptr;
    }
}

int COutPutModuleFile::OpenFile(const char* path)
{
    if (m_pFile != nullptr) {
        // Reopening must not leak the stream that is open.
        m_nWriteErrors += CloseCounted(m_pFile);
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
    if (m_pFile == nullptr) {
        return;
    }
    if (fwrite(packet, 1, kTsPacketSize, m_pFile) != static_cast<size_t>(kTsPacketSize)) {
        ++m_nWriteErrors;
    }
}

void COutPutModuleFile::RenderPackets(unsigned char* packets, int nCount)
{
    if (m_pFile == nullptr || nCount <= 0) {
        return;
    }
    const size_t nBytes = size_t(nCount) * kTsPacketSize;
    if (fwrite(packets, 1, nBytes, m_pFile) != nBytes) {
        ++m_nWriteErrors;
    }
}

void COutPutModuleFile::Destroy()
{
    if (m_pFile == nullptr) {
        return;
    }
    m_nWriteErrors += CloseCounted(m_pFile);
    m_pFile = nullptr;
}

bool COutPutModuleFile::HasWriteError() const
{
    return m_nWriteErrors > 0;
}
