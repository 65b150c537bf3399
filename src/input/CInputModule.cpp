#include "input/CInputModule.h"

#include "ts/PidMap.h"
#include "ts/TsConstants.h"

#include <algorithm>

CInputModule::CInputModule()
    : m_analysis(m_analyzer), m_queue(kInputQueuePackets, kInputQueueMaxPackets), m_writer(m_queue),
      m_timing(m_queue), m_tables(m_analyzer, m_writer, m_queue),
      m_path(m_writer, m_timing, m_tables), m_pPidMap(std::make_unique<int[]>(kPidCount)),
      m_pClock(&os::CMonotonicClock::Instance())
{
    std::fill(m_pPidMap.get(), m_pPidMap.get() + kPidCount, -1);
}

CInputModule::~CInputModule() = default;

void CInputModule::SetSourceAttribute(_SOURCE_ATTRIBUTE attr)
{
    // Mode 0 paces by the input's PCRs; no timing or mode 1 hand packets
    // over as fast as the muxer takes them.
    m_timing.SetTimed(attr.bNoTiming == 0 && attr.nTimingMode == 0);
}

void CInputModule::SetPrepareType(_OVERFLOW_TREATMENT type)
{
    m_writer.SetDropWhenFull(type == OVERFLOW_OVERWRITE_OLDEST);
}

void CInputModule::RecvOnePacket(unsigned char* pData, int)
{
    if (pData == nullptr) {
        return;
    }
    // Taken before the packet counts, so that whoever sees it counted sees
    // the flag cleared.
    if (m_bDown.load(std::memory_order_relaxed) &&
        m_bDown.exchange(false, std::memory_order_acq_rel)) {
        m_bFeedLost.store(false, std::memory_order_relaxed);
        m_path.ResumeNext();
    }
    // Only this thread writes the counter: no read-modify-write needed.
    m_nRead.store(m_nRead.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    const int64_t nPos = m_nPosition++;
    // Only this thread writes m_bReady.
    if (m_bReady.load(std::memory_order_relaxed)) {
        m_path.Feed(pData, nPos);
    } else if (m_analysis.Store(pData, nPos, m_timing.GetGivenBitRate())) {
        BecomeReady();
    }
}

void CInputModule::BecomeReady()
{
    m_path.Apply(m_tables.TakeUp(m_nPosition));
    m_timing.Start();
    m_bReady.store(true, std::memory_order_release);
    const int64_t nStored = m_analysis.GetStoredCount();
    // Ahead of every packet, for an engine that did not start with the input.
    m_tables.Mark(m_nPosition - nStored, m_path.HoldsBack());
    m_path.SetReplaying(true);
    m_analysis.Replay(m_nPosition, [this](const unsigned char* pData, int64_t nPos) {
        m_path.Feed(pData, nPos);
    });
    m_path.SetReplaying(false);
}

void CInputModule::StreamEnd()
{
    // A PMT that has not come by the end never will: the input goes with
    // the programs it has.
    if (!m_bReady.load(std::memory_order_relaxed) && m_analysis.HasProgram()) {
        BecomeReady();
    }
    m_timing.End(m_bReady.load(std::memory_order_relaxed));
    m_queue.PublishEnd();
    m_bStreamEnd.store(true, std::memory_order_release);
}

bool CInputModule::IsReady() const
{
    return m_bReady.load(std::memory_order_acquire);
}

int CInputModule::GetProgramCount() const
{
    return IsReady() ? int(m_tables.GetReadyTables().vPrograms.size()) : 0;
}

bool CInputModule::IsStreamEnd() const
{
    return m_bStreamEnd.load(std::memory_order_acquire) && m_queue.IsDrained();
}

bool CInputModule::CanNeverBeReady() const
{
    // End first: the reader publishes ready before it reports the end.
    return m_bStreamEnd.load(std::memory_order_acquire) && !IsReady();
}

unsigned char* CInputModule::GetOnePacket(long long& llPtsDelta, long long& llDtsDelta,
                                          int& nPcrPid)
{
    llPtsDelta = -1;
    llDtsDelta = -1;
    nPcrPid = -1;
    if (!IsReady()) {
        return nullptr;
    }
    BeginOutput(); // this client drains the input itself
    CTimedPacket* pHead = m_queue.HeadMutable();
    // This path hands out packets only; table changes are the engine's.
    while (pHead != nullptr && pHead->nChange != 0) {
        TakeTables(pHead->nChange);
        m_queue.Pop();
        pHead = m_queue.HeadMutable();
    }
    if (pHead == nullptr) {
        return nullptr;
    }
    if (IsTimed()) {
        const int64_t nNow = os::ToMicros(m_pClock->Now());
        if (m_nFirstTime < 0) {
            m_nFirstTime = pHead->nTime;
            m_nFirstMicros = nNow;
        }
        const int64_t nDueMicros = m_nFirstMicros + (pHead->nTime - m_nFirstTime) / 27;
        if (nNow < nDueMicros) {
            return nullptr;
        }
    }
    RemapPid(m_pPidMap.get(), pHead->vData);
    return pHead->vData;
}

void CInputModule::ReleaseBuffer(unsigned char* pPacket)
{
    const CTimedPacket* pHead = m_queue.Head();
    if (pHead != nullptr && pPacket == pHead->vData) {
        m_queue.Pop();
    }
}
