// The file source: reads a TS file in chunks on the reader thread and hands
// it to its input module one 188-byte packet at a time, in file order. Its
// first bytes decide where packets start and how far apart they are (188,
// 192 or 204 bytes; see FindTsLayout). Where the file does not hold a sync
// byte at the next packet position (a cut capture, a splice), it searches
// for the packet alignment again and goes on from there.
#include "braidmill.h"

#include "io/CLoopMarker.h"
#include "io/CPolledFdStream.h"
#include "log/CLogger.h"
#include "ts/TsConstants.h"
#include "ts/TsSync.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

// Sync episodes logged one by one; beyond that only a total at the end.
constexpr int kSyncLogLimit = 10;

constexpr const char* kMsgSyncRegained = "sync regained at byte %lld after %lld skipped bytes: %s ";
constexpr const char* kMsgSyncNone = "no packet sync in the last %lld bytes, dropped: %s ";
constexpr const char* kMsgSyncTotal = "sync lost %lld times, %lld bytes skipped in all: %s ";
constexpr const char* kMsgPartialPacket = "partial last packet of %d bytes dropped: %s ";
constexpr const char* kMsgReadError = "read error, source thread exit: %s ";
constexpr const char* kMsgSourceStopped = "source thread stopped: %s ";
constexpr const char* kMsgNoBuffer = "no read buffer or no open file, source thread exit: %s ";
constexpr const char* kMsgPacketSize = "%d-byte packets, read as 188: %s ";
constexpr const char* kMsgNoPackets = "%s, source thread exit: %s ";
constexpr const char* kMsgLoopPass = "pass %lld from the start: %s ";
constexpr const char* kMsgRewindFailed = "cannot start again from the beginning, source thread exit: %s ";

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

bool CSourceFile::Rewind(int nProbe, bool bProbeEnd)
{
    // The probe bytes are served from memory again; the file goes on after them.
    if (!bProbeEnd && fseek(m_pFile, nProbe, SEEK_SET) != 0) {
        LogPrint(kLogError, kMsgRewindFailed, m_szFileName);
        return false;
    }
    clearerr(m_pFile);
    return true;
}

void CSourceFile::WorkFun()
{
    if (m_pRecvModule == nullptr) {
        return;
    }
    // The first bytes are read once and then served ahead of the rest of
    // the file, so that nothing needs to seek back.
    std::unique_ptr<unsigned char[]> pProbe(new (std::nothrow) unsigned char[kSyncProbeBytes]);
    if (m_pBuffer == nullptr || m_nBufferSize < kTsPacketSize || m_pFile == nullptr ||
        pProbe == nullptr) {
        LogPrint(kLogError, kMsgNoBuffer, m_szFileName);
        if (m_pFile != nullptr) {
            fclose(m_pFile);
            m_pFile = nullptr;
        }
        m_pRecvModule->StreamEnd();
        return;
    }
    const int nProbe = static_cast<int>(fread(pProbe.get(), 1, kSyncProbeBytes, m_pFile));
    const bool bProbeEnd = feof(m_pFile) != 0;
    bool bReadError = !bProbeEnd && (nProbe < kSyncProbeBytes || ferror(m_pFile) != 0);
    CTsLayout layout;
    const bool bPackets = !bReadError && FindTsLayout(pProbe.get(), nProbe, bProbeEnd, layout);
    if (!bReadError && !bPackets && nProbe > 0) {
        LogPrint(kLogError, kMsgNoPackets, DescribeNoPackets(pProbe.get(), nProbe).c_str(),
                 m_szFileName);
    }

    const int nStep = layout.nStep;
    // The timestamp before the first packet of a 192-byte file is no junk.
    const int nHead = nStep == kM2tsPacketSize ? kM2tsPacketSize - kTsPacketSize : 0;
    // A small buffer cannot hold five packets to confirm with; confirm with
    // what it holds, so that bytes kept for the search always leave room to
    // read more.
    const int nConfirm = bPackets ? std::clamp(m_nBufferSize / nStep, 1, kSyncConfirmPackets) : 1;

    int nProbePos = bPackets ? layout.nFirst : nProbe; // next probe byte to serve
    int nCarry = 0;               // bytes kept at the buffer's start from the last chunk
    int nSkipAhead = 0;           // bytes of the last packet's step not read yet (parity)
    long long llBase = nProbePos; // file offset of m_pBuffer[0]
    bool bSynced = true;
    long long llSkipped = 0; // bytes skipped in the current episode
    long long llEpisodes = 0;
    long long llSkippedAll = 0;
    bool bStopped = false;
    CLoopMarker marker;
    unsigned char vExtra[kTsPacketSize];
    long long llPassPackets = 0; // packets handed on in this pass
    long long llPasses = 1;

    if (bPackets && nStep != kTsPacketSize) {
        LogPrint(kLogWarning, kMsgPacketSize, nStep, m_szFileName);
    }
    if (bPackets && layout.nFirst > nHead) {
        llEpisodes = 1;
        llSkippedAll = layout.nFirst - nHead;
        LogPrint(kLogWarning, kMsgSyncRegained, llBase, llSkippedAll, m_szFileName);
    }

    while (bPackets && !bReadError) {
        if (IsStopRequested()) {
            bStopped = true;
            break;
        }
        const size_t nWant = static_cast<size_t>(m_nBufferSize - nCarry);
        size_t nRead = 0;
        bool bEof = false;
        if (nProbePos < nProbe) {
            nRead = std::min(nWant, static_cast<size_t>(nProbe - nProbePos));
            std::memcpy(m_pBuffer + nCarry, pProbe.get() + nProbePos, nRead);
            nProbePos += static_cast<int>(nRead);
            bEof = bProbeEnd && nProbePos == nProbe;
            if (nProbePos == nProbe && !m_bLoop) {
                pProbe.reset(); // served: its megabyte is not kept for the whole run
            }
        } else if (bProbeEnd) {
            bEof = true;
        } else {
            nRead = fread(m_pBuffer + nCarry, 1, nWant, m_pFile);
            bEof = feof(m_pFile) != 0;
            // A short read without the end of file is an error; so is a
            // read of nothing, which would otherwise loop for ever.
            bReadError = !bEof && (nRead < nWant || ferror(m_pFile) != 0);
        }
        const bool bFinal = bEof || bReadError;
        const int nTotal = nCarry + static_cast<int>(nRead);

        int nPos = std::min(nSkipAhead, nTotal);
        nSkipAhead -= nPos;
        while (nPos < nTotal) {
            if (IsStopRequested()) {
                bStopped = true;
                break;
            }
            if (bSynced) {
                if (nPos + kTsPacketSize > nTotal) {
                    break; // partial packet: keep it for the next chunk
                }
                if (m_pBuffer[nPos] == kSyncByte) {
                    if (llPasses > 1 && marker.Mark(m_pBuffer + nPos, vExtra)) {
                        m_pRecvModule->RecvOnePacket(vExtra, kTsPacketSize);
                    }
                    ++llPassPackets;
                    m_pRecvModule->RecvOnePacket(m_pBuffer + nPos, kTsPacketSize);
                    nPos += nStep;
                    continue;
                }
                bSynced = false;
                llSkipped = 0;
                ++llEpisodes;
            }
            int nAt = nTotal;
            const ESync result = FindSync(m_pBuffer, nPos, nTotal, nStep, nConfirm, bFinal, nAt);
            llSkipped += nAt - nPos;
            nPos = nAt;
            if (result == ESync::kFound) {
                bSynced = true;
                llSkippedAll += llSkipped;
                if (llEpisodes <= kSyncLogLimit) {
                    LogPrint(kLogWarning, kMsgSyncRegained, llBase + nPos, llSkipped, m_szFileName);
                }
                continue;
            }
            if (result == ESync::kNone) {
                // FindSync has skipped to the end: the rest is dropped.
                llSkippedAll += llSkipped;
                LogPrint(kLogWarning, kMsgSyncNone, llSkipped, m_szFileName);
            }
            break;
        }
        if (bStopped) {
            break;
        }
        if (nPos > nTotal) {
            // The step of the last packet (its parity) runs past what was read.
            nSkipAhead = nPos - nTotal;
            nPos = nTotal;
        }

        nCarry = nTotal - nPos;
        if (bFinal) {
            // Never padded with what the buffer held before: a packet cut
            // by the end of the file is not a packet.
            if (nCarry > 0) {
                LogPrint(kLogWarning, kMsgPartialPacket, nCarry, m_szFileName);
            }
            // A pass without a packet would loop for ever doing nothing.
            if (m_bLoop && bEof && llPassPackets > 0 && Rewind(nProbe, bProbeEnd)) {
                nProbePos = bPackets ? layout.nFirst : nProbe;
                llBase = nProbePos;
                nCarry = 0;
                nSkipAhead = 0;
                bSynced = true;
                llPassPackets = 0;
                ++llPasses;
                marker.StartPass();
                LogPrint(kLogDebug, kMsgLoopPass, llPasses, m_szFileName);
                continue;
            }
            break;
        }
        if (nCarry > 0) {
            std::memmove(m_pBuffer, m_pBuffer + nPos, static_cast<size_t>(nCarry));
        }
        llBase += nPos;
    }

    fclose(m_pFile);
    m_pFile = nullptr;
    if (llEpisodes > kSyncLogLimit) {
        LogPrint(kLogWarning, kMsgSyncTotal, llEpisodes, llSkippedAll, m_szFileName);
    }
    if (bReadError) {
        LogPrint(kLogError, kMsgReadError, m_szFileName);
    }
    // The end of input flows downstream in every case, so the multiplex
    // never waits for a source that has gone.
    m_pRecvModule->StreamEnd();
    if (bStopped) {
        LogPrint(kLogDebug, kMsgSourceStopped, m_szFileName);
    } else if (!bReadError) {
        LogPrint(kLogDebug, kMsgSourceEnd, m_szFileName);
    }
}
