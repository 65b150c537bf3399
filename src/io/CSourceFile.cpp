// The file source: reads a TS file in chunks on the reader thread and hands
// it to its input module one 188-byte packet at a time, in file order.
// Where the file does not hold a sync byte at the next packet position (a
// cut capture, a splice), it searches for the packet alignment again and
// goes on from there.
#include "braidmill.h"

#include "io/CPolledFdStream.h"
#include "log/CLogger.h"
#include "ts/TsConstants.h"

#include <cstring>

namespace {

// Sync bytes at this many consecutive packet positions confirm an alignment;
// one stray 0x47 in damaged data must not be taken for it.
constexpr int kSyncConfirmPackets = 5;
// Sync episodes logged one by one; beyond that only a total at the end.
constexpr int kSyncLogLimit = 10;

constexpr const char* kMsgSyncRegained = "sync regained at byte %lld after %lld skipped bytes: %s ";
constexpr const char* kMsgSyncNone = "no packet sync in the last %lld bytes, dropped: %s ";
constexpr const char* kMsgSyncTotal = "sync lost %lld times, %lld bytes skipped in all: %s ";
constexpr const char* kMsgPartialPacket = "partial last packet of %d bytes dropped: %s ";
constexpr const char* kMsgReadError = "read error, source thread exit: %s ";
constexpr const char* kMsgSourceStopped = "source thread stopped: %s ";
constexpr const char* kMsgNoBuffer = "no read buffer or no open file, source thread exit: %s ";

enum class ESync {
    kFound,    // aligned at the position returned
    kNeedMore, // undecided from the position returned; read on
    kNone      // no alignment in what is left of the file
};

// Searches pData[nFrom, nTotal) for an offset where the sync byte repeats at
// packet steps nConfirm times. At the end of the file fewer confirmations
// are accepted where the file is too short for more.
ESync FindSync(const unsigned char* pData, int nFrom, int nTotal, int nConfirm, bool bFinal,
               int& nAt)
{
    for (int nOffset = nFrom; nOffset < nTotal; ++nOffset) {
        if (pData[nOffset] != kSyncByte) {
            continue;
        }
        bool bConfirmed = true;
        for (int k = 1; k < nConfirm; ++k) {
            const int nNext = nOffset + k * kTsPacketSize;
            if (nNext >= nTotal) {
                if (!bFinal) {
                    nAt = nOffset;
                    return ESync::kNeedMore;
                }
                break;
            }
            if (pData[nNext] != kSyncByte) {
                bConfirmed = false;
                break;
            }
        }
        if (!bConfirmed) {
            continue;
        }
        if (bFinal && nOffset + kTsPacketSize > nTotal) {
            nAt = nTotal;
            return ESync::kNone; // only a partial packet is left
        }
        nAt = nOffset;
        return ESync::kFound;
    }
    nAt = nTotal;
    return bFinal ? ESync::kNone : ESync::kNeedMore;
}

} // namespace

CSourceFile::CSourceFile() : m_pFile(nullptr), m_szFileName{} {}

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
    if (m_pBuffer == nullptr || m_nBufferSize < kTsPacketSize || m_pFile == nullptr) {
        LogPrint(kLogError, kMsgNoBuffer, m_szFileName);
        if (m_pFile != nullptr) {
            fclose(m_pFile);
            m_pFile = nullptr;
        }
        m_pRecvModule->StreamEnd();
        return;
    }

    // A small buffer cannot hold five packets to confirm with; confirm with
    // what it holds, so that bytes kept for the search always leave room to
    // read more.
    int nConfirm = m_nBufferSize / kTsPacketSize;
    if (nConfirm > kSyncConfirmPackets) {
        nConfirm = kSyncConfirmPackets;
    }

    int nCarry = 0;          // bytes kept at the buffer's start from the last chunk
    long long llBase = 0;    // file offset of m_pBuffer[0]
    bool bSynced = true;     // the file is taken to start on a packet
    long long llSkipped = 0; // bytes skipped in the current episode
    long long llEpisodes = 0;
    long long llSkippedAll = 0;
    bool bStopped = false;
    bool bReadError = false;

    for (;;) {
        if (IsStopRequested()) {
            bStopped = true;
            break;
        }
        const size_t nWant = static_cast<size_t>(m_nBufferSize - nCarry);
        const size_t nRead = fread(m_pBuffer + nCarry, 1, nWant, m_pFile);
        const bool bEof = feof(m_pFile) != 0;
        // A short read without the end of file is an error; so is a read of
        // nothing, which would otherwise loop for ever.
        bReadError = !bEof && (nRead < nWant || ferror(m_pFile) != 0);
        const bool bFinal = bEof || bReadError;
        const int nTotal = nCarry + static_cast<int>(nRead);

        int nPos = 0;
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
                    m_pRecvModule->RecvOnePacket(m_pBuffer + nPos, kTsPacketSize);
                    nPos += kTsPacketSize;
                    continue;
                }
                bSynced = false;
                llSkipped = 0;
                ++llEpisodes;
            }
            int nAt = nTotal;
            const ESync result = FindSync(m_pBuffer, nPos, nTotal, nConfirm, bFinal, nAt);
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

        nCarry = nTotal - nPos;
        if (bFinal) {
            // Never padded with what the buffer held before: a packet cut
            // by the end of the file is not a packet.
            if (nCarry > 0) {
                LogPrint(kLogWarning, kMsgPartialPacket, nCarry, m_szFileName);
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
