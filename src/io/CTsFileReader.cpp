#include "io/CTsFileReader.h"

#include "braidmill.h"
#include "log/CLogger.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace {

// Sync episodes logged one by one; beyond that only a total at the end.
constexpr int kSyncLogLimit = 10;

constexpr const char* kMsgSyncRegained = "sync regained at byte %lld after %lld skipped bytes: %s ";
constexpr const char* kMsgSyncNone = "no packet sync in the last %lld bytes, dropped: %s ";
constexpr const char* kMsgSyncTotal = "sync lost %lld times, %lld bytes skipped in all: %s ";
constexpr const char* kMsgPartialPacket = "partial last packet of %d bytes dropped: %s ";
constexpr const char* kMsgReadError = "read error, source thread exit: %s ";
constexpr const char* kMsgNoBuffer = "no read buffer or no open file, source thread exit: %s ";
constexpr const char* kMsgPacketSize = "%d-byte packets, read as 188: %s ";
constexpr const char* kMsgNoPackets = "%s, source thread exit: %s ";
constexpr const char* kMsgLoopPass = "pass %lld from the start: %s ";
constexpr const char* kMsgRewindFailed =
    "cannot start again from the beginning, source thread exit: %s ";

} // namespace

CTsFileReader::CTsFileReader(FILE* pFile, const char* szName, CInputModuleIface& module, bool bLoop,
                             std::function<bool()> stopRequested)
    : m_pFile(pFile), m_szName(szName), m_module(module), m_bLoop(bLoop),
      m_stopRequested(std::move(stopRequested))
{
}

CTsFileReader::EEnd CTsFileReader::Run(unsigned char* pBuffer, int nBufferSize)
{
    m_pProbe.reset(new (std::nothrow) unsigned char[kSyncProbeBytes]);
    if (pBuffer == nullptr || nBufferSize < kTsPacketSize || m_pFile == nullptr || !m_pProbe) {
        LogPrint(kLogError, kMsgNoBuffer, m_szName);
        return EEnd::kNoBuffer;
    }
    if (!ReadProbe()) {
        return EEnd::kReadError;
    }
    if (!FindPackets()) {
        return EEnd::kEnd;
    }
    m_walker.FitBuffer(nBufferSize);
    int nCarry = 0; // bytes the walker left at the buffer's start
    for (;;) {
        if (m_stopRequested()) {
            return EEnd::kStopped;
        }
        int nRead = 0;
        const EChunk chunk = ReadChunk(pBuffer + nCarry, nBufferSize - nCarry, nRead);
        const bool bFinal = chunk != EChunk::kMore;
        const int nTotal = nCarry + nRead;
        nCarry = m_walker.Walk(pBuffer, nTotal, bFinal, *this);
        if (m_walker.IsStopped()) {
            return EEnd::kStopped;
        }
        if (!bFinal) {
            if (nCarry > 0) {
                std::memmove(pBuffer, pBuffer + nTotal - nCarry, size_t(nCarry));
            }
            continue;
        }
        // Never padded with what the buffer held before: a packet cut by
        // the end of the file is not a packet.
        if (nCarry > 0) {
            LogPrint(kLogWarning, kMsgPartialPacket, nCarry, m_szName);
        }
        if (chunk == EChunk::kError) {
            return EEnd::kReadError;
        }
        if (!StartAgain()) {
            return EEnd::kEnd;
        }
        nCarry = 0;
    }
}

void CTsFileReader::LogSummary(EEnd end) const
{
    if (m_walker.GetSyncLosses() > kSyncLogLimit) {
        LogPrint(kLogWarning, kMsgSyncTotal, m_walker.GetSyncLosses(), m_walker.GetSkippedBytes(),
                 m_szName);
    }
    if (end == EEnd::kReadError) {
        LogPrint(kLogError, kMsgReadError, m_szName);
    }
}

bool CTsFileReader::ReadProbe()
{
    m_nProbe = int(fread(m_pProbe.get(), 1, kSyncProbeBytes, m_pFile));
    m_bProbeEnd = feof(m_pFile) != 0;
    return m_bProbeEnd || (m_nProbe == kSyncProbeBytes && ferror(m_pFile) == 0);
}

bool CTsFileReader::FindPackets()
{
    if (!m_walker.Start(m_pProbe.get(), m_nProbe, m_bProbeEnd)) {
        if (m_nProbe > 0) {
            LogPrint(kLogError, kMsgNoPackets, DescribeNoPackets(m_pProbe.get(), m_nProbe).c_str(),
                     m_szName);
        }
        return false;
    }
    if (m_walker.GetLayout().nStep != kTsPacketSize) {
        LogPrint(kLogWarning, kMsgPacketSize, m_walker.GetLayout().nStep, m_szName);
    }
    return true;
}

CTsFileReader::EChunk CTsFileReader::ReadChunk(unsigned char* pDest, int nWant, int& nRead)
{
    nRead = 0;
    if (m_nProbePos < m_nProbe) {
        nRead = std::min(nWant, m_nProbe - m_nProbePos);
        std::memcpy(pDest, m_pProbe.get() + m_nProbePos, size_t(nRead));
        m_nProbePos += nRead;
        if (m_nProbePos == m_nProbe && !m_bLoop) {
            m_pProbe.reset(); // served: its megabyte is not kept for the whole run
        }
        return m_bProbeEnd && m_nProbePos == m_nProbe ? EChunk::kEnd : EChunk::kMore;
    }
    if (m_bProbeEnd) {
        return EChunk::kEnd;
    }
    nRead = int(fread(pDest, 1, size_t(nWant), m_pFile));
    if (feof(m_pFile) != 0) {
        return EChunk::kEnd;
    }
    // A short read without the end of file is an error; so is a read of
    // nothing, which would otherwise loop for ever.
    return nRead < nWant || ferror(m_pFile) != 0 ? EChunk::kError : EChunk::kMore;
}

bool CTsFileReader::StartAgain()
{
    // A pass without a packet would loop for ever doing nothing.
    if (!m_bLoop || m_llPassPackets == 0) {
        return false;
    }
    // The probe bytes are served from memory again; the file goes on after them.
    if (!m_bProbeEnd && fseek(m_pFile, m_nProbe, SEEK_SET) != 0) {
        LogPrint(kLogError, kMsgRewindFailed, m_szName);
        return false;
    }
    clearerr(m_pFile);
    m_nProbePos = 0;
    m_walker.Restart();
    m_llPassPackets = 0;
    ++m_llPasses;
    m_marker.StartPass();
    LogPrint(kLogDebug, kMsgLoopPass, m_llPasses, m_szName);
    return true;
}

bool CTsFileReader::OnPacket(unsigned char* pPacket, long long /*llOffset*/)
{
    if (m_stopRequested()) {
        return false;
    }
    if (m_llPasses > 1 && m_marker.Mark(pPacket, m_vExtra)) {
        m_module.RecvOnePacket(m_vExtra, kTsPacketSize);
    }
    ++m_llPassPackets;
    m_module.RecvOnePacket(pPacket, kTsPacketSize);
    return true;
}

void CTsFileReader::OnSyncRegained(long long llOffset, long long llSkipped, long long nLoss)
{
    if (nLoss <= kSyncLogLimit) {
        LogPrint(kLogWarning, kMsgSyncRegained, llOffset, llSkipped, m_szName);
    }
}

void CTsFileReader::OnSyncNone(long long llSkipped)
{
    LogPrint(kLogWarning, kMsgSyncNone, llSkipped, m_szName);
}
