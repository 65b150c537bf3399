#include "input/CInputModule.h"

#include "input/CPacketFifo.h"
#include "input/CPsiAnalyzer.h"
#include "log/CLogger.h"
#include "ts/CTsPacket.h"
#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cstring>

namespace {

// What a PID of the input is to the multiplex.
constexpr uint8_t kPidForeign = 0; // PSI, SI, null, unknown: dropped
constexpr uint8_t kPidStream = 1;  // an elementary stream of a program
constexpr uint8_t kPidPcr = 2;     // a program's PCR PID (maybe a stream too)

constexpr int kPidMask = kPidCount - 1;
constexpr uint8_t kNoCc = 0xFF;

// The queue to the muxer: 4,096 packets (770 KB) is over a second of a
// 3 Mbit/s input and 150 ms of a 40 Mbit/s one.
constexpr int kQueuePackets = 4096;
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
      m_pFifo(std::make_unique<CPacketFifo>(kInputFifoBytes)), m_queue(kQueuePackets),
      m_pPidMap(std::make_unique<int[]>(kPidCount)), m_vPidKind(kPidCount, kPidForeign),
      m_vEsPid(kPidCount, 0), m_vWaitUnit(kPidCount, 0), m_vLastPcr(kPidCount, -1),
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
    m_bDropWhenFull = type == OVERFLOW_OVERWRITE_OLDEST;
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
    const int nPid = ((pData[1] << 8) | pData[2]) & kPidMask;
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

void CInputModule::ApplyPidKinds(const CInputTables& tables)
{
    std::vector<uint8_t> vKind(kPidCount, kPidForeign);
    std::vector<uint8_t> vEs(kPidCount, 0);
    for (const _PROGRAM_INFO& program : tables.vPrograms) {
        for (const _ES_INFO& es : program.vecEsInfo) {
            uint8_t& nKind = vKind[size_t(es.nPid & kPidMask)];
            nKind = std::max(nKind, kPidStream);
            vEs[size_t(es.nPid & kPidMask)] = 1;
        }
        // PCR_PID 0x1FFF means the program has no PCR: the input's null
        // packets are no program's.
        const int nPcrPid = program.nPcrPid & kPidMask;
        if (nPcrPid != kPidNull) {
            vKind[size_t(nPcrPid)] = kPidPcr;
        }
    }
    for (size_t nPid = 0; nPid < size_t(kPidCount); ++nPid) {
        // A stream taken up in mid-unit would reach decoders as a broken
        // PES; PCR-only packets carry no unit and need no wait.
        if (vEs[nPid] != 0 && m_vEsPid[nPid] == 0) {
            m_vWaitUnit[nPid] = 1;
        }
    }
    m_vPidKind.swap(vKind);
    m_vEsPid.swap(vEs);
    m_margin.SetPrograms(tables.vPrograms);
}

void CInputModule::OnTablesChanged(int64_t nPos)
{
    auto pTables = std::make_shared<CInputTables>();
    m_pAnalyzer->GetTables(*pTables);
    pTables->nSequence = ++m_nTableSets;
    ApplyPidKinds(*pTables);
    {
        std::lock_guard<std::mutex> lock(m_mtxTables);
        // A set whose marker found no room is never asked for on its own:
        // the next marker takes the newest.
        while (m_nOwedChange != 0 && !m_vTableSets.empty() &&
               m_vTableSets.back()->nSequence >= m_nOwedChange) {
            m_vTableSets.pop_back();
        }
        m_vTableSets.push_back(std::move(pTables));
    }
    QueueChange(m_nTableSets, nPos);
}

bool CInputModule::QueueChange(uint32_t nChange, int64_t nPos)
{
    CTimedPacket* pSlot = m_queue.Reserve();
    while (pSlot == nullptr) {
        if (m_bDropWhenFull || !m_queue.WaitForRoom()) {
            // The muxer takes the newest set at the next marker that fits.
            m_nOwedChange = nChange;
            return false;
        }
        pSlot = m_queue.Reserve();
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
    ApplyPidKinds(*pTables);
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
    // Their PCRs arrived earlier than now: no samples for a live clock.
    m_bReplaying = true;
    for (int64_t i = 0; i < nCount; ++i) {
        Feed(vStored.data() + i * kTsPacketSize, m_nPosition - nCount + i);
    }
    m_bReplaying = false;
}

bool CInputModule::TakesPacePcr(int nPid, int64_t nPcr, bool bDiscontinuity, bool& bNewBase)
{
    int64_t& nLast = m_vLastPcr[nPid];
    const bool bJump = !bDiscontinuity && IsPcrJump(nLast, nPcr);
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

void CInputModule::Feed(const unsigned char* pData, int64_t nPos)
{
    if (pData[0] != kSyncByte) {
        return; // lost sync: only its position counts
    }
    const int nPid = ((pData[1] << 8) | pData[2]) & kPidMask;
    // Packets stored before ready went through the analysis already.
    if (nPos >= m_nAnalyzedTo && m_pAnalyzer->IsTablePid(nPid) && m_pAnalyzer->Push(pData)) {
        OnTablesChanged(nPos);
    }
    uint8_t nKind = m_vPidKind[nPid];
    // Payload before the first payload_unit_start_indicator is the tail of a
    // unit whose start is lost; adaptation-only packets (PCRs) carry none.
    if (nKind != kPidForeign && m_vWaitUnit[nPid] != 0 && (pData[3] & 0x10) != 0) {
        if ((pData[1] & 0x40) != 0) {
            m_vWaitUnit[nPid] = 0;
        } else {
            nKind = kPidForeign;
        }
    }
    if (nKind != kPidForeign && m_nOwedChange != 0) {
        QueueChange(m_nOwedChange, nPos);
    }

    bool bPace = false;
    bool bNewBase = false;
    bool bJump = false;
    int64_t nPcr = -1;
    if (m_bTimed && MayHavePcr(pData)) {
        CTsPacket view;
        view.SetData(const_cast<unsigned char*>(pData));
        nPcr = view.GetPcr();
        if (nPcr >= 0) {
            const bool bSignalled = view.GetDiscontinuityIndicator();
            bPace = TakesPacePcr(nPid, nPcr, bSignalled, bNewBase);
            bJump = bNewBase && !bSignalled;
        }
    }

    if (nKind != kPidForeign) {
        const int32_t nMargin = m_margin.Look(pData, nPid, nPcr, nPos);
        // A packet that finds no room is lost data only where the reader
        // may not wait (a live input); what a reader holds or still hands
        // over once the run was stopped is no loss: the run ended there.
        CTimedPacket* pSlot = m_queue.Reserve();
        while (pSlot == nullptr) {
            if (m_bDropWhenFull || m_bLive) {
                m_nDropped.fetch_add(1, std::memory_order_relaxed);
                break;
            }
            if (!m_queue.WaitForRoom()) {
                break;
            }
            pSlot = m_queue.Reserve();
        }
        if (pSlot != nullptr) {
            std::memcpy(pSlot->vData, pData, kTsPacketSize);
            pSlot->nChange = 0;
            pSlot->nMargin = nMargin;
            CTsPacket packet;
            packet.SetData(pSlot->vData);
            CheckContinuity(packet, nPid);
            if (bJump) {
                // Signal the jump downstream, so that the muxer takes this
                // PCR as a new time base instead of restamping across it.
                uint8_t nSize = 0;
                if (unsigned char* pAf = packet.GetAdaptationField(nSize)) {
                    pAf[1] |= kDiscontinuityIndicatorBit;
                }
            }
            pSlot->nTime = nPos; // its position until it is timed
            m_queue.CommitReserved();
        }
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
        m_timeline.AnchorAt(m_queue.Pending(0).nTime);
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
