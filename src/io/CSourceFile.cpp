// The file source: reads a TS file on the reader thread and hands it to its
// input module one 188-byte packet at a time, in file order (CTsFileReader
// does the reading; see CTsWalker for where packets are found).
#include "braidmill.h"

#include "io/CPolledFdStream.h"
#include "io/CTsFileReader.h"
#include "log/CLogger.h"

#include <cstring>

namespace {

constexpr const char* kMsgSourceStopped = "source thread stopped: %s ";

} // namespace

CSourceFile::CSourceFile() : m_pFile(nullptr), m_szFileName{}, m_bLoop(false) {}

void CSourceFile::SetLoop(bool bLoop)
{
    m_bLoop = bLoop;
}

CSourceFile::~CSourceFile()
{
    // Join before anything of this object goes: WorkFun uses the stream
    // and the name until its last line.
    StopAndJoin();
    if (m_pFile != nullptr) {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
}

int CSourceFile::OpenFile(const char* path)
{
    if (path == nullptr) {
        return -1;
    }
    if (IsFifoPath(path)) {
        return OpenFifo(path); // fopen would wait for a writer, maybe for ever
    }
    FILE* pFile = fopen(path, "rb");
    if (pFile == nullptr) {
        return -1;
    }
    if (m_pFile != nullptr) {
        fclose(m_pFile); // reopening must not leak the first stream
    }
    m_pFile = pFile;
    // The name is kept for the log line only; a longer path is cut there.
    const size_t nLen = strnlen(path, sizeof(m_szFileName) - 1);
    std::memcpy(m_szFileName, path, nLen);
    m_szFileName[nLen] = '\0';
    return 0;
}

void CSourceFile::WorkFun()
{
    if (m_pRecvModule == nullptr) {
        return;
    }
    CTsFileReader reader(m_pFile, m_szFileName, *m_pRecvModule, m_bLoop,
                         [this] { return IsStopRequested(); });
    const CTsFileReader::EEnd end = reader.Run(m_pBuffer, m_nBufferSize);
    if (m_pFile != nullptr) {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    reader.LogSummary(end);
    // The end of input flows downstream in every case, so the multiplex
    // never waits for a source that has gone.
    m_pRecvModule->StreamEnd();
    if (end == CTsFileReader::EEnd::kStopped) {
        LogPrint(kLogDebug, kMsgSourceStopped, m_szFileName);
    } else if (end == CTsFileReader::EEnd::kEnd) {
        LogPrint(kLogDebug, kMsgSourceEnd, m_szFileName);
    }
}
