#include "input/CInputModule.h"

#include "input/CPacketFifo.h"
#include "input/CPsiAnalyzer.h"
#include "os/Sleep.h"
#include "ts/CCalcPcrN1.h"
#include "ts/CNoPacer.h"
#include "ts/CPcrPacer.h"
#include "ts/CTsPacket.h"
#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <chrono>

namespace {

// What a PID of the input is to the multiplex.
constexpr uint8_t kPidForeign = 0; // PSI, SI, null, unknown: dropped
constexpr uint8_t kPidStream = 1;  // an elementary stream of a program
constexpr uint8_t kPidPcr = 2;     // a program's PCR PID (maybe a stream too)

constexpr int kPidMask = kPidCount - 1;
// Slots a full FIFO's consumer frees before it wakes the reader (a tenth
// of the FIFO).
constexpr int kRoomWakeSlots = 1000;

} // namespace

CInputModule::CInputModule()
    : m_pPrograms(std::make_unique<std::vector<_PROGRAM_INFO>>()),
      m_pDescriptors(std::make_unique<std::vector<CProgramDescriptors>>()),
      m_pAnalyzer(std::make_unique<CPsiAnalyzer>(m_pPrograms.get(), m_pDescriptors.get())),
      m_pFifo(std::make_unique<CPacketFifo>(kInputFifoBytes)),
      m_pPidMap(std::make_unique<int[]>(kPidCount)),
      m_vPidKind(kPidCount, kPidForeign),
      m_pClock(&os::CMonotonicClock::Instance())
{
    m_pFifo->SetOverflowTreatment(OVERFLOW_WAIT);
    std::fill(m_pPidMap.get(), m_pPidMap.get() + kPidCount, -1);
}

CInputModule::~CInputModule() = default;

void CInputModule::SetSourceAttribute(_SOURCE_ATTRIBUTE attr)
{
    m_pPcrPacer.reset();
    m_pNoPacer.reset();
    if (attr.bNoTiming != 0) {
        return;
    }
    if (attr.nTimingMode == 0) {
        m_pPcrPacer = std::make_unique<CPcrPacer>(*m_pClock);
    } else if (attr.nTimingMode == 1) {
        m_pNoPacer = std::make_unique<CNoPacer>();
    }
}

void CInputModule::SetPrepareType(_OVERFLOW_TREATMENT type)
{
    m_pFifo->SetOverflowTreatment(type);
}

void CInputModule::SetClock(os::IClock& clock)
{
    m_pClock = &clock;
    if (m_pPcrPacer) {
        m_pPcrPacer->SetClock(clock);
    }
}

void CInputModule::RecvOnePacket(unsigned char* pData, int)
{
    if (pData == nullptr) {
        return;
    }
    // Only this thread writes m_bReady.
    const bool bReady = m_bReady.load(std::memory_order_relaxed);
    // Before the programs are known nothing drains the FIFO, so waiting for
    // room would wait for ever: the oldest packet makes room, and a PAT or
    // PMT that comes late is still found.
    int nStatus = bReady ? m_pFifo->Push(pData) : m_pFifo->PushOverwriting(pData);
    if (!bReady) {
        bool bComplete = false;
        {
            CPacketFifo::CQueueLock lock(*m_pFifo);
            bComplete = m_pAnalyzer->Analyze(lock.Queue(), lock.PushCount());
        }
        if (bComplete) {
            CreatePcrCalcs();
            m_bReady.store(true, std::memory_order_release);
        }
    }
    while (nStatus == FIFO_FULL && !m_bAbortWait.load(std::memory_order_acquire)) {
        nStatus = m_pFifo->Push(pData);
        if (!m_bRoomWakeups.load(std::memory_order_acquire)) {
            os::Sleep(kOverflowRetryMs);
        } else if (nStatus == FIFO_FULL) {
            WaitForRoom(kOverflowRetryMs);
        }
    }
    NotifyData();
}

void CInputModule::StreamEnd()
{
    m_bStreamEnd.store(true, std::memory_order_release);
    NotifyData();
}

void CInputModule::NotifyData()
{
    // Sequentially consistent against the waiter's store of the flag before
    // it looks at the FIFO: either it sees this packet, or this sees it waiting.
    if (m_bDataWaiter.load(std::memory_order_seq_cst)) {
        { std::lock_guard<std::mutex> lock(m_mtxData); }
        m_cvData.notify_all();
    }
}

void CInputModule::WaitForData(unsigned nMaxMs)
{
    m_bDataWaiter.store(true, std::memory_order_seq_cst);
    {
        std::unique_lock<std::mutex> lock(m_mtxData);
        m_cvData.wait_for(lock, std::chrono::milliseconds(nMaxMs), [this] {
            return m_bStreamEnd.load(std::memory_order_acquire) || !m_pFifo->IsEmpty();
        });
    }
    m_bDataWaiter.store(false, std::memory_order_relaxed);
}

void CInputModule::WaitForRoom(unsigned nMaxMs)
{
    m_nRoomFreed.store(0, std::memory_order_relaxed);
    m_bRoomWaiter.store(true, std::memory_order_seq_cst);
    {
        std::unique_lock<std::mutex> lock(m_mtxData);
        m_cvData.wait_for(lock, std::chrono::milliseconds(nMaxMs), [this] {
            return m_nRoomFreed.load(std::memory_order_acquire) >= kRoomWakeSlots ||
                   m_bAbortWait.load(std::memory_order_acquire);
        });
    }
    m_bRoomWaiter.store(false, std::memory_order_relaxed);
}

bool CInputModule::HasStoredPacket() const
{
    return !m_pFifo->IsEmpty();
}

int64_t CInputModule::GetDueMicros() const
{
    return m_pPcrPacer ? m_pPcrPacer->GetDueMicros() : -1;
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
    return m_bStreamEnd.load(std::memory_order_acquire) && m_pFifo->IsEmpty();
}

bool CInputModule::CanNeverBeReady() const
{
    // End first: the reader publishes ready before it reports the end.
    return m_bStreamEnd.load(std::memory_order_acquire) && !IsReady();
}

void CInputModule::AbortWait()
{
    m_bAbortWait.store(true, std::memory_order_release);
}

void CInputModule::ReleaseBuffer(unsigned char* pPacket)
{
    m_pFifo->Release(pPacket);
    // Woken per batch, not per slot: a wake per packet would cost a system
    // call per packet on both threads.
    if (m_bRoomWaiter.load(std::memory_order_seq_cst) &&
        m_nRoomFreed.fetch_add(1, std::memory_order_acq_rel) + 1 == kRoomWakeSlots) {
        { std::lock_guard<std::mutex> lock(m_mtxData); }
        m_cvData.notify_all();
    }
}

unsigned char* CInputModule::GetOnePacket(long long& llPtsDelta, long long& llDtsDelta,
                                          int& nPcrPid)
{
    llPtsDelta = -1;
    llDtsDelta = -1;
    nPcrPid = -1;
    if (!IsReady()) {
        m_eLastMiss = EMiss::kNotReady;
        return nullptr;
    }
    if (IsHeldBack()) {
        m_eLastMiss = EMiss::kHeldBack;
        return nullptr;
    }
    m_eLastMiss = EMiss::kNone;
    while (unsigned char* pSlot = m_pFifo->Pop()) {
        CTsPacket packet;
        if (!packet.SetData(pSlot)) {
            // Lost sync: no field can be trusted, but it is still 188 bytes
            // of the input between the PCRs.
            for (CPcrTrack& track : m_vPcrTracks) {
                track.pCalc->AddPacket();
            }
            m_pFifo->Release(pSlot);
            continue;
        }
        const int nPid = packet.GetPid();
        const CPcrEvent event = UpdatePcrCalcs(packet, nPid);
        GetPacketTiming(packet, nPid, llPtsDelta, llDtsDelta, nPcrPid);
        if (m_vPidKind[nPid] == kPidForeign) {
            m_pFifo->Release(pSlot);
            continue;
        }
        // An untranslated entry (-1) gives the null PID.
        packet.SetPid(uint16_t(m_pPidMap[nPid] & kPidMask));
        if (event.nTrack >= 0) {
            FeedPcrPacer(packet, event);
        }
        return pSlot;
    }
    m_eLastMiss = EMiss::kEmpty;
    return nullptr;
}

void CInputModule::CreatePcrCalcs()
{
    std::vector<int> vPcrPids;
    for (const _PROGRAM_INFO& program : *m_pPrograms) {
        for (const _ES_INFO& es : program.vecEsInfo) {
            uint8_t& nKind = m_vPidKind[es.nPid & kPidMask];
            nKind = std::max(nKind, kPidStream);
        }
        // PCR_PID 0x1FFF means the program has no PCR: the input's null
        // packets are no program's.
        const int nPcrPid = program.nPcrPid & kPidMask;
        if (nPcrPid != kPidNull) {
            m_vPidKind[nPcrPid] = kPidPcr;
            vPcrPids.push_back(nPcrPid);
        }
    }
    std::sort(vPcrPids.begin(), vPcrPids.end());
    vPcrPids.erase(std::unique(vPcrPids.begin(), vPcrPids.end()), vPcrPids.end());
    // Programs that share a PCR PID share its calculator.
    for (int nPid : vPcrPids) {
        CPcrTrack track;
        track.nPid = nPid;
        track.pCalc = std::make_unique<CCalcPcrN1>();
        m_vPcrTracks.push_back(std::move(track));
    }
    for (const _PROGRAM_INFO& program : *m_pPrograms) {
        auto it = std::find_if(m_vPcrTracks.begin(), m_vPcrTracks.end(),
                               [&](const CPcrTrack& t) { return t.nPid == program.nPcrPid; });
        m_vProgramTrack.push_back(it != m_vPcrTracks.end() ? int(it - m_vPcrTracks.begin()) : -1);
    }
}

bool CInputModule::IsHeldBack()
{
    // Without PCR pacing (mode 1, or no timing object) packets go out as
    // fast as the mux asks.
    if (!m_pPcrPacer) {
        return m_pNoPacer && !m_pNoPacer->IsDue();
    }
    return m_pPcrPacer->IsEarly();
}

CInputModule::CPcrEvent CInputModule::UpdatePcrCalcs(const CTsPacket& packet, int nPid)
{
    CPcrEvent event;
    const bool bHasPcr = m_vPidKind[nPid] == kPidPcr && packet.HasPcr();
    for (size_t i = 0; i < m_vPcrTracks.size(); ++i) {
        CPcrTrack& track = m_vPcrTracks[i];
        if (!bHasPcr || track.nPid != nPid) {
            track.pCalc->AddPacket();
            continue;
        }
        const int64_t nPcr = packet.GetPcr();
        const bool bSignalled = packet.GetDiscontinuityIndicator();
        const bool bJump = !bSignalled && IsPcrJump(track.nLastPcr, nPcr);
        if (bSignalled || bJump) {
            // A rate learnt across a new time base would be garbage.
            track.pCalc->RestartAt(nPcr);
        } else {
            track.pCalc->InputPcr(nPcr);
        }
        event.nTrack = int(i);
        event.nPcr = nPcr;
        event.nPrevPcr = track.nLastPcr;
        event.bDiscontinuity = bSignalled || bJump;
        event.bUnsignalledJump = bJump;
        track.nLastPcr = nPcr;
    }
    return event;
}

void CInputModule::GetPacketTiming(const CTsPacket& packet, int nPid, long long& llPts,
                                   long long& llDts, int& nPcrPid) const
{
    if (m_vPidKind[nPid] == kPidForeign) {
        return;
    }
    const std::vector<_PROGRAM_INFO>& programs = *m_pPrograms;
    for (size_t i = 0; i < programs.size(); ++i) {
        const _PROGRAM_INFO& program = programs[i];
        // The PCR PID's own PES starts are left without values.
        if (nPid == program.nPcrPid) {
            return;
        }
        for (const _ES_INFO& es : program.vecEsInfo) {
            uint8_t nFlags = 0;
            if (es.nPid != nPid || !packet.GetPtsDtsFlags(nFlags)) {
                continue;
            }
            const int nTrack = m_vProgramTrack[i];
            const int64_t nPcr =
                nTrack >= 0 ? m_vPcrTracks[size_t(nTrack)].pCalc->GetCurrentPcr() : -1;
            if (nPcr < 0) {
                return; // the program's clock is not known yet
            }
            nPcrPid = m_pPidMap[program.nPcrPid & kPidMask];
            const int64_t nBase = nPcr / kPcrPerPts; // 90 kHz
            int64_t nPts = 0;
            int64_t nDts = 0;
            if ((nFlags == 2 || nFlags == 3) && packet.GetPts(nPts)) {
                llPts = nPts - nBase;
            }
            if (nFlags == 3 && packet.GetDts(nDts)) {
                llDts = nDts - nBase;
            }
        }
    }
}

void CInputModule::FeedPcrPacer(CTsPacket& packet, const CPcrEvent& event)
{
    if (event.bUnsignalledJump) {
        // Signal the jump downstream, so that the engine takes this PCR as a
        // new time base instead of restamping across it.
        uint8_t nSize = 0;
        if (unsigned char* pAf = packet.GetAdaptationField(nSize)) {
            pAf[1] |= kDiscontinuityIndicatorBit;
        }
    }
    if (!m_pPcrPacer) {
        return;
    }
    // The programs of an input may run on independent clocks: pace by one
    // PCR PID, the first to deliver, and move to another only when it has
    // been silent for a while of that other's clock.
    if (m_nPaceTrack < 0) {
        m_nPaceTrack = event.nTrack;
    }
    if (event.nTrack == m_nPaceTrack) {
        m_pPcrPacer->InputPcr(event.nPcr, event.bDiscontinuity);
        for (CPcrTrack& track : m_vPcrTracks) {
            track.nSincePace = 0;
        }
        return;
    }
    CPcrTrack& other = m_vPcrTracks[size_t(event.nTrack)];
    if (!event.bDiscontinuity && event.nPrevPcr >= 0) {
        other.nSincePace += PcrForwardDelta(event.nPrevPcr, event.nPcr);
    }
    if (other.nSincePace > kPcrPaceFallbackTicks) {
        m_nPaceTrack = event.nTrack;
        m_pPcrPacer->InputPcr(event.nPcr, true); // another clock: a new time base
        for (CPcrTrack& track : m_vPcrTracks) {
            track.nSincePace = 0;
        }
    }
}
