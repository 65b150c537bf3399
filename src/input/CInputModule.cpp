#include "input/CInputModule.h"

#include "input/CPacketFifo.h"
#include "input/CPsiAnalyzer.h"
#include "log/CLogger.h"
#include "mux/MuxConstants.h"
#include "ts/CTsPacket.h"
#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kPidMask = kPidCount - 1;

constexpr uint8_t kNoCc = 0xFF;

// The queue to the muxer: 4,096 packets (770 KB) is over a second of a
// 3 Mbit/s input and 150 ms of a 40 Mbit/s one. A live input's may grow to
// 65,536 (twice its delay through the muxer at 490 Mbit/s), memory taken as
// packets wait.
constexpr int kQueuePackets = 4096;
constexpr int kMaxQueuePackets = 65'536;
// Packets held for the next PCR before they are timed by extrapolation: an
// input whose PCRs stop still moves, and the reader never fills the queue
// with packets the muxer cannot see.
constexpr int kMaxPendingPackets = kQueuePackets / 2;
// How long the PMTs of a PAT are waited for before the input goes ahead
// without the missing ones: a second of input, or half the FIFO the
// analysis runs over, whichever comes first.
constexpr int64_t kPmtWaitTicks = kPcrHz;
constexpr int64_t kPmtWaitPackets = kInputFifoBytes / kTsPacketSize / 2;

// The PCR of a packet without going through the whole accessor: most packets
// have no adaptation field.
bool MayHavePcr(const unsigned char* p)
{
    return (p[3] & 0x20) != 0 && p[4] >= 7 && (p[5] & 0x10) != 0;
}

} // namespace

CInputModule::CInputModule()
    : m_pPrograms(std::make_unique<std::vector<_PROGRAM_INFO>>()),
      m_pDescriptors(std::make_unique<std::vector<CProgramDescriptors>>()),
      m_pAnalyzer(std::make_unique<CPsiAnalyzer>(m_pPrograms.get(), m_pDescriptors.get())),
      m_pFifo(std::make_unique<CPacketFifo>(kInputFifoBytes)),
      m_queue(kQueuePackets, kMaxQueuePackets), m_writer(m_queue),
      m_pPidMap(std::make_unique<int[]>(kPidCount)), m_vLastPcr(kPidCount, -1),
      m_vLastCc(kPidCount, kNoCc), m_pClock(&os::CMonotonicClock::Instance())
{
    std::fill(m_pPidMap.get(), m_pPidMap.get() + kPidCount, -1);
}

CInputModule::~CInputModule() = default;

void CInputModule::SetSourceAttribute(_SOURCE_ATTRIBUTE attr)
{
    // Mode 0 paces by the input's PCRs; no timing or mode 1 hand packets
    // over as fast as the muxer takes them.
    m_bTimed = attr.bNoTiming == 0 && attr.nTimingMode == 0;
}

void CInputModule::SetPrepareType(_OVERFLOW_TREATMENT type)
{
    m_writer.SetDropWhenFull(type == OVERFLOW_OVERWRITE_OLDEST);
}

void CInputModule::SetBitRate(int nBitsPerSecond)
{
    m_nGivenBitRate.store(nBitsPerSecond, std::memory_order_relaxed);
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
        m_bResumeNext = true;
    }
    // Only this thread writes the counter: no read-modify-write needed.
    m_nRead.store(m_nRead.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    const int64_t nPos = m_nPosition++;
    // Only this thread writes m_bReady.
    if (m_bReady.load(std::memory_order_relaxed)) {
        Feed(pData, nPos);
        return;
    }
    // Before the programs are known nothing drains the FIFO: the oldest
    // packet makes room, and a PAT or PMT that comes late is still found.
    m_pFifo->PushOverwriting(pData);
    bool bComplete = false;
    {
        CPacketFifo::CQueueLock lock(*m_pFifo);
        bComplete = m_pAnalyzer->Analyze(lock.Queue(), lock.PushCount());
    }
    // Without a program there is nothing to go ahead with.
    if (bComplete || (m_pAnalyzer->HasPat() && PmtWaitOver(pData, nPos) && !m_pPrograms->empty())) {
        BecomeReady();
    }
}

bool CInputModule::PmtWaitOver(const unsigned char* pData, int64_t nPos)
{
    if (m_nPatAt < 0) {
        m_nPatAt = nPos;
    }
    int64_t nWaitPackets = kPmtWaitPackets;
    const int nGiven = m_nGivenBitRate.load(std::memory_order_relaxed);
    if (nGiven > 0) {
        nWaitPackets = std::min<int64_t>(nWaitPackets, nGiven / (8 * kTsPacketSize) + 1);
    }
    if (nPos - m_nPatAt >= nWaitPackets) {
        return true;
    }
    if (!MayHavePcr(pData)) {
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

void CInputModule::OnTablesChanged(int64_t nPos)
{
    auto pTables = std::make_shared<CInputTables>();
    m_pAnalyzer->GetTables(*pTables);
    pTables->nSequence = ++m_nTableSets;
    m_filter.Apply(*pTables);
    m_margin.SetPrograms(pTables->vPrograms);
    {
        std::lock_guard<std::mutex> lock(m_mtxTables);
        // A set whose marker found no room is never asked for on its own:
        // the next marker takes the newest. The first stays for an engine
        // that starts with the input.
        while (m_nOwedChange != 0 && !m_vTableSets.empty() &&
               m_vTableSets.back()->nSequence >= m_nOwedChange &&
               m_vTableSets.back()->nSequence > 1) {
            m_vTableSets.pop_back();
        }
        m_vTableSets.push_back(std::move(pTables));
    }
    QueueChange(m_nTableSets, nPos);
}

bool CInputModule::QueueChange(uint32_t nChange, int64_t nPos)
{
    CTimedPacket* pSlot = HoldsBack() ? nullptr : m_writer.Reserve(false);
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

std::shared_ptr<const CInputTables> CInputModule::TakeTables(uint32_t nChange)
{
    std::lock_guard<std::mutex> lock(m_mtxTables);
    std::shared_ptr<const CInputTables> pTables;
    while (!m_vTableSets.empty() && m_vTableSets.front()->nSequence <= nChange) {
        pTables = std::move(m_vTableSets.front());
        m_vTableSets.pop_front();
    }
    return pTables;
}

void CInputModule::BecomeReady()
{
    auto pTables = std::make_shared<CInputTables>();
    m_pAnalyzer->GetTables(*pTables);
    pTables->nSequence = ++m_nTableSets;
    m_filter.Apply(*pTables);
    m_margin.SetPrograms(pTables->vPrograms);
    {
        std::lock_guard<std::mutex> lock(m_mtxTables);
        m_vTableSets.push_back(pTables);
    }
    m_nAnalyzedTo = m_nPosition;
    m_timeline.SetFallbackBitRate(m_nGivenBitRate.load(std::memory_order_relaxed));
    // What was stored during the analysis is the newest stretch of the input,
    // the current packet last.
    std::vector<unsigned char> vStored;
    {
        CPacketFifo::CQueueLock lock(*m_pFifo);
        vStored.reserve(lock.Queue().size() * kTsPacketSize);
        for (const unsigned char* pSlot : lock.Queue()) {
            vStored.insert(vStored.end(), pSlot, pSlot + kTsPacketSize);
        }
    }
    m_pFifo.reset();
    m_bReady.store(true, std::memory_order_release);
    const int64_t nCount = int64_t(vStored.size()) / kTsPacketSize;
    // Ahead of every packet, for an engine that did not start with the input.
    QueueChange(m_nTableSets, m_nPosition - nCount);
    // Their PCRs arrived earlier than now: no samples for a live clock.
    m_bReplaying = true;
    for (int64_t i = 0; i < nCount; ++i) {
        Feed(vStored.data() + i * kTsPacketSize, m_nPosition - nCount + i);
    }
    m_bReplaying = false;
}

bool CInputModule::TakesPacePcr(int nPid, int64_t nPcr, bool bDiscontinuity, bool& bNewBase,
                                bool& bJump)
{
    int64_t& nLast = m_vLastPcr[nPid];
    bJump = !bDiscontinuity && IsPcrJump(nLast, nPcr);
    const int64_t nPrev = nLast;
    nLast = nPcr;
    bNewBase = bDiscontinuity || bJump;
    if (m_nPacePid < 0) {
        m_nPacePid = nPid;
        return true;
    }
    if (nPid == m_nPacePid) {
        m_nSincePace = 0;
        return true;
    }
    // The programs of an input may run on independent clocks: pace by one
    // PID, and move to another only once the pacing one has been silent for
    // a while of that other's clock.
    if (nPid != m_nSinceOtherPid) {
        m_nSinceOtherPid = nPid;
        m_nSincePace = 0;
    } else if (!bNewBase && nPrev >= 0) {
        m_nSincePace += PcrForwardDelta(nPrev, nPcr);
    }
    if (m_nSincePace <= kPcrPaceFallbackTicks) {
        return false;
    }
    LogPrint(kLogWarning, "input: no PCR on PID 0x%04X for %lld ms; paced by PID 0x%04X from now",
             unsigned(m_nPacePid), static_cast<long long>(m_nSincePace * 1000 / kPcrHz),
             unsigned(nPid));
    m_nPacePid = nPid;
    m_nSincePace = 0;
    bNewBase = true; // another clock
    return true;
}

void CInputModule::CheckContinuity(const CTsPacket& packet, int nPid)
{
    const uint8_t nAfc = packet.GetAdaptationFieldControl();
    const uint8_t nCc = packet.GetContinuityCounter();
    uint8_t& nLast = m_vLastCc[nPid];
    if ((nAfc & 0x1) == 0) {
        // No payload: the counter repeats. One that signals a discontinuity
        // sets the counter the payload after it continues from.
        if (packet.GetDiscontinuityIndicator()) {
            nLast = nCc;
        }
        return;
    }
    if (nLast != kNoCc && nCc != ((nLast + 1) & kCcMask) && nCc != nLast &&
        !packet.GetDiscontinuityIndicator()) {
        m_nCcErrors.fetch_add(1, std::memory_order_relaxed);
    }
    nLast = nCc;
}

bool CInputModule::HoldsBack()
{
    bool bBegins = false;
    if (m_writer.HoldsBack(m_bReplaying, bBegins)) {
        return true;
    }
    if (bBegins) {
        // What was held back is lost to the output: each stream starts at
        // its next unit.
        m_filter.RestartUnits();
    }
    return false;
}

void CInputModule::Resume(int64_t nPos)
{
    m_writer.MarkAll();
    if (m_bLive && m_liveClock.HasAnchor() && m_timeline.HasAnchor()) {
        // Its sender's clock is found again from here: what comes now is due
        // its delay from now, not from where the old map would put it.
        m_liveClock.AddSample(m_timeline.Extrapolate(nPos), os::ToMicros(m_pClock->Now()), true);
    }
}

void CInputModule::Feed(const unsigned char* pData, int64_t nPos)
{
    if (pData[0] != kSyncByte) {
        return; // lost sync: only its position counts
    }
    const int nPid = CTsPacket::PidOf(pData);
    // Packets stored before ready went through the analysis already.
    if (nPos >= m_nAnalyzedTo && m_pAnalyzer->IsTablePid(nPid) && m_pAnalyzer->Push(pData)) {
        OnTablesChanged(nPos);
    }
    if (m_bResumeNext && !m_bReplaying) {
        m_bResumeNext = false;
        Resume(nPos);
    }
    if (m_bCaPass.load(std::memory_order_relaxed) != m_filter.IsCaPass()) {
        m_filter.SetCaPass(!m_filter.IsCaPass());
    }
    bool bKeep = m_filter.IsKept(nPid);
    if (bKeep && CPidFilter::IsMalformed(pData)) {
        if (!m_bMalformedLogged) {
            m_bMalformedLogged = true;
            LogPrint(kLogWarning, "input %d: packet with a malformed header on PID 0x%04X dropped",
                     m_writer.GetNumber(), unsigned(nPid));
        }
        bKeep = false;
    }
    if (bKeep && !HoldsBack()) {
        bool bMark = false;
        bKeep = m_filter.PassesUnit(pData, nPid, bMark);
        if (bMark) {
            m_writer.MarkPid(nPid);
        }
    } else {
        bKeep = false;
    }
    if (bKeep && m_nOwedChange != 0) {
        QueueChange(m_nOwedChange, nPos);
    }

    bool bPace = false;
    bool bNewBase = false;
    int64_t nPcr = -1;
    // A malformed header's PCR is no PCR: it must neither time nor jump.
    if (m_bTimed && MayHavePcr(pData) && !CPidFilter::IsMalformed(pData)) {
        CTsPacket view;
        view.SetData(const_cast<unsigned char*>(pData));
        nPcr = view.GetPcr();
        if (nPcr >= 0) {
            bool bJump = false;
            bPace = TakesPacePcr(nPid, nPcr, view.GetDiscontinuityIndicator(), bNewBase, bJump);
            if (bJump) {
                // Every PID says so from here on, so that the muxer takes
                // this PCR as a new time base instead of restamping across
                // it, and receivers take the counters that jump with it.
                m_writer.MarkAll();
            }
        }
    }
    // Every packet of a program's PIDs: its PCRs count while its payload waits.
    const int32_t nMargin = m_filter.IsKept(nPid) ? m_margin.Look(pData, nPid, nPcr, nPos)
                                                  : CTimedPacket::kNoMargin;
    if (bKeep) {
        CTsPacket view;
        view.SetData(const_cast<unsigned char*>(pData));
        CheckContinuity(view, nPid);
        m_writer.Queue(pData, nPos, nMargin);
    }

    if (!m_bTimed) {
        StampPending(true);
        return;
    }
    if (bPace) {
        m_nPcrs.fetch_add(1, std::memory_order_relaxed);
        const int64_t nTime = m_timeline.AddPcr(nPos, nPcr, bNewBase);
        m_nBitRate.store(m_timeline.GetSpanBitRate(), std::memory_order_relaxed);
        if (m_bLive && !m_bReplaying) {
            m_liveClock.AddSample(nTime, os::ToMicros(m_pClock->Now()), bNewBase);
        }
        StampPending(false);
    } else if (m_bLive && m_liveClock.HasAnchor() && m_timeline.HasRate()) {
        // A live packet goes out at once, timed from the last PCR: one that
        // waited for the next PCR would wait for ever when the sender stops
        // right after it.
        StampPending(true);
    } else if (m_queue.GetPendingCount() >= kMaxPendingPackets) {
        if (!m_bNoPcrLogged) {
            m_bNoPcrLogged = true;
            LogPrint(kLogWarning,
                     "input: %d packets without a usable PCR; paced at %s from now on",
                     kMaxPendingPackets,
                     m_timeline.HasRate() ? "the rate of its last PCRs" : "its estimated rate");
        }
        StampPending(true);
    }
}

void CInputModule::StampPending(bool bExtrapolate)
{
    const int nCount = m_queue.GetPendingCount();
    if (nCount == 0) {
        return;
    }
    if (!m_bTimed) {
        for (int k = 0; k < nCount; ++k) {
            m_queue.Pending(k).nTime = 0;
        }
        m_queue.Publish(nCount);
        return;
    }
    if (!m_timeline.HasAnchor()) {
        if (!bExtrapolate) {
            return;
        }
        m_timeline.SetFallbackBitRate(m_nGivenBitRate.load(std::memory_order_relaxed));
        // At the first packet: a marker ahead of it may stand at an earlier
        // position (the tables' marker, at the first packet stored).
        int nFirst = 0;
        while (nFirst + 1 < nCount && m_queue.Pending(nFirst).nChange != 0) {
            ++nFirst;
        }
        m_timeline.AnchorAt(m_queue.Pending(nFirst).nTime);
    }
    // The first PCR alone gives no rate: what came before it waits for the
    // second, unless it has to go now.
    if (!bExtrapolate && !m_timeline.HasRate()) {
        return;
    }
    if (m_bLive && !m_liveClock.HasAnchor()) {
        // Replayed packets wait for a PCR that arrives now; an input without
        // usable PCRs is timed from here on at the rate it is read.
        if (!bExtrapolate) {
            return;
        }
        m_liveClock.AddSample(m_timeline.Extrapolate(m_queue.Pending(nCount - 1).nTime),
                              os::ToMicros(m_pClock->Now()), true);
    }
    for (int k = 0; k < nCount; ++k) {
        CTimedPacket& packet = m_queue.Pending(k);
        const int64_t nPos = packet.nTime;
        int64_t nTime = bExtrapolate ? m_timeline.Extrapolate(nPos) : m_timeline.TimeBetween(nPos);
        if (m_bLive) {
            nTime = m_liveClock.LocalMicros(nTime) * (kPcrHz / 1'000'000);
        }
        if (m_bLive) {
            // A live packet keeps its own time, also where an extrapolation
            // ran ahead of the PCR that followed: the muxer restamps a PCR
            // from how late it leaves against that time.
            nTime = std::max(nTime, m_nLiveFloor);
        } else {
            // An extrapolation that ran ahead of the PCR that followed must
            // not make time go backwards in the queue.
            nTime = std::max(nTime, m_nLastTime);
        }
        packet.nTime = nTime;
        m_nLastTime = nTime;
    }
    m_queue.Publish(nCount);
}

void CInputModule::StreamEnd()
{
    // A PMT that has not come by the end never will: the input goes with
    // the programs it has.
    if (!m_bReady.load(std::memory_order_relaxed) && !m_pPrograms->empty()) {
        BecomeReady();
    }
    if (m_bLive) {
        // What waited for a PCR that never came: due from now, not from
        // when it arrived, or it would leave late.
        m_nLiveFloor = os::ToMicros(m_pClock->Now()) * (kPcrHz / 1'000'000);
    }
    if (m_bReady.load(std::memory_order_relaxed)) {
        StampPending(true);
    }
    m_queue.PublishEnd();
    m_bStreamEnd.store(true, std::memory_order_release);
}

bool CInputModule::IsReady() const
{
    return m_bReady.load(std::memory_order_acquire);
}

int CInputModule::GetProgramCount() const
{
    // The list grows on the reader thread until the input is ready.
    return IsReady() ? int(m_pPrograms->size()) : 0;
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

void CInputModule::AbortWait()
{
    m_bAbortWait.store(true, std::memory_order_release);
    m_queue.Abort();
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
    if (m_bTimed) {
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
    CTsPacket packet;
    packet.SetData(pHead->vData);
    // An untranslated entry (-1) gives the null PID.
    packet.SetPid(uint16_t(m_pPidMap[packet.GetPid()] & kPidMask));
    return pHead->vData;
}

void CInputModule::ReleaseBuffer(unsigned char* pPacket)
{
    const CTimedPacket* pHead = m_queue.Head();
    if (pHead != nullptr && pPacket == pHead->vData) {
        m_queue.Pop();
    }
}
