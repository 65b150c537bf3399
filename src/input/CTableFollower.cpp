#include "input/CTableFollower.h"

#include "input/CPsiAnalyzer.h"
#include "input/CQueueWriter.h"
#include "input/CTimedQueue.h"

CTableFollower::CTableFollower(CPsiAnalyzer& analyzer, CQueueWriter& writer, CTimedQueue& queue)
    : m_analyzer(analyzer), m_writer(writer), m_queue(queue),
      m_pReady(std::make_shared<CInputTables>())
{
}

const CInputTables& CTableFollower::TakeUp(int64_t nFrom)
{
    m_analyzer.GetTables(*m_pReady);
    m_pReady->nSequence = ++m_nSets;
    {
        std::lock_guard<std::mutex> lock(m_mtxSets);
        m_vSets.push_back(m_pReady);
    }
    // Packets before went through the analysis already.
    m_nFrom = nFrom;
    return *m_pReady;
}

std::shared_ptr<const CInputTables> CTableFollower::Follow(const unsigned char* pData, int nPid,
                                                           int64_t nPos)
{
    if (nPos < m_nFrom || !m_analyzer.IsTablePid(nPid) || !m_analyzer.Push(pData)) {
        return nullptr;
    }
    auto pTables = std::make_shared<CInputTables>();
    m_analyzer.GetTables(*pTables);
    pTables->nSequence = ++m_nSets;
    std::shared_ptr<const CInputTables> pNew = pTables;
    std::lock_guard<std::mutex> lock(m_mtxSets);
    // A set whose marker found no room is never asked for on its own: the
    // next marker takes the newest. The first stays for an engine that
    // starts with the input.
    while (m_nOwedChange != 0 && !m_vSets.empty() && m_vSets.back()->nSequence >= m_nOwedChange &&
           m_vSets.back()->nSequence > 1) {
        m_vSets.pop_back();
    }
    m_vSets.push_back(std::move(pTables));
    return pNew;
}

bool CTableFollower::Mark(int64_t nPos, bool bHeldBack)
{
    return QueueChange(m_nSets, nPos, bHeldBack);
}

bool CTableFollower::QueueChange(uint32_t nChange, int64_t nPos, bool bHeldBack)
{
    CTimedPacket* pSlot = bHeldBack ? nullptr : m_writer.Reserve(false);
    if (pSlot == nullptr) {
        // The muxer takes the newest set at the next marker that fits.
        m_nOwedChange = nChange;
        return false;
    }
    pSlot->nChange = nChange;
    pSlot->nTime = nPos; // its position until it is timed, as a packet's
    m_queue.CommitReserved();
    m_nOwedChange = 0;
    return true;
}

std::shared_ptr<const CInputTables> CTableFollower::TakeTables(uint32_t nChange)
{
    std::lock_guard<std::mutex> lock(m_mtxSets);
    std::shared_ptr<const CInputTables> pTables;
    while (!m_vSets.empty() && m_vSets.front()->nSequence <= nChange) {
        pTables = std::move(m_vSets.front());
        m_vSets.pop_front();
    }
    return pTables;
}
