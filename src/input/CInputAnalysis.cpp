#include "input/CInputAnalysis.h"

#include "input/CPacketFifo.h"
#include "input/CPsiAnalyzer.h"
#include "ts/CTsPacket.h"
#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <vector>

namespace {

// How long the PMTs of a PAT are waited for before the input goes ahead
// without the missing ones: a second of input, or half the FIFO the
// analysis runs over, whichever comes first.
constexpr int64_t kPmtWaitTicks = kPcrHz;
constexpr int64_t kPmtWaitPackets = kInputFifoBytes / kTsPacketSize / 2;

} // namespace

CInputAnalysis::CInputAnalysis(CPsiAnalyzer& analyzer)
    : m_analyzer(analyzer), m_pFifo(std::make_unique<CPacketFifo>(kInputFifoBytes))
{
}

CInputAnalysis::~CInputAnalysis() = default;

bool CInputAnalysis::Store(const unsigned char* pData, int64_t nPos, int nGivenBitRate)
{
    // Nothing drains the FIFO: the oldest packet makes room, and a PAT or
    // PMT that comes late is still found.
    m_pFifo->PushOverwriting(pData);
    bool bComplete = false;
    {
        CPacketFifo::CQueueLock lock(*m_pFifo);
        bComplete = m_analyzer.Analyze(lock.Queue(), lock.PushCount());
    }
    // Without a program there is nothing to go ahead with.
    return bComplete || (m_analyzer.HasPat() && PmtWaitOver(pData, nPos, nGivenBitRate) &&
                         m_analyzer.HasProgram());
}

bool CInputAnalysis::HasProgram() const
{
    return m_analyzer.HasProgram();
}

int64_t CInputAnalysis::GetStoredCount() const
{
    if (!m_pFifo) {
        return 0;
    }
    CPacketFifo::CQueueLock lock(*m_pFifo);
    return int64_t(lock.Queue().size());
}

bool CInputAnalysis::PmtWaitOver(const unsigned char* pData, int64_t nPos, int nGivenBitRate)
{
    if (m_nPatAt < 0) {
        m_nPatAt = nPos;
    }
    int64_t nWaitPackets = kPmtWaitPackets;
    if (nGivenBitRate > 0) {
        nWaitPackets = std::min<int64_t>(nWaitPackets, nGivenBitRate / (8 * kTsPacketSize) + 1);
    }
    if (nPos - m_nPatAt >= nWaitPackets) {
        return true;
    }
    if (!CTsPacket::HasPcrFlag(pData)) {
        return false;
    }
    CTsPacket view;
    if (!view.SetData(const_cast<unsigned char*>(pData))) {
        return false; // lost sync: no field can be trusted
    }
    const int64_t nPcr = view.GetPcr();
    const int nPid = CTsPacket::PidOf(pData);
    if (nPcr < 0 || (m_nWaitPcrPid >= 0 && nPid != m_nWaitPcrPid)) {
        return false;
    }
    if (m_nWaitPcrPid >= 0 && !IsPcrJump(m_nWaitPcr, nPcr)) {
        m_nWaitTicks += PcrForwardDelta(m_nWaitPcr, nPcr);
    }
    m_nWaitPcrPid = nPid;
    m_nWaitPcr = nPcr;
    return m_nWaitTicks >= kPmtWaitTicks;
}

void CInputAnalysis::Replay(int64_t nEnd,
                            const std::function<void(const unsigned char*, int64_t)>& feed)
{
    if (!m_pFifo) {
        return;
    }
    std::vector<unsigned char> vStored;
    {
        CPacketFifo::CQueueLock lock(*m_pFifo);
        vStored.reserve(lock.Queue().size() * kTsPacketSize);
        for (const unsigned char* pSlot : lock.Queue()) {
            vStored.insert(vStored.end(), pSlot, pSlot + kTsPacketSize);
        }
    }
    m_pFifo.reset();
    const int64_t nCount = int64_t(vStored.size()) / kTsPacketSize;
    for (int64_t i = 0; i < nCount; ++i) {
        feed(vStored.data() + i * kTsPacketSize, nEnd - nCount + i);
    }
}
