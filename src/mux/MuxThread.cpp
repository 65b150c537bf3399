// The mux thread of CMuxCore: fills the ring from the inputs and queues the
// PSI set every 80 ms of output.
#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "log/CLogger.h"
#include "ts/CTsPacket.h"

#include <chrono>
#include <exception>

namespace {

// Longest pause of a pass that found nothing to do, should no output step
// come (a stalled sink).
constexpr auto kMuxIdleLimit = std::chrono::milliseconds(20);

} // namespace

unsigned long CMuxCore::MuxThreadProc(void* pEngine)
{
    CMuxCore* pCore = static_cast<CMuxCore*>(pEngine);
    try {
        pCore->MuxLoop();
    } catch (const std::exception& e) {
        // An input that throws ends the gathering, not the process; the
        // output thread still drains what was queued.
        LogPrint(kLogError, "mux: the mux thread stopped: %s", e.what());
        pCore->m_bFailed.store(true, std::memory_order_release);
    }
    LogPrint(kLogDebug, "%s", kMsgMuxThreadExit);
    pCore->m_bMuxEnd.store(true, std::memory_order_release);
    return 0;
}

void CMuxCore::MuxLoop()
{
    // Nothing is gathered before the PID maps are written: a packet taken
    // earlier would leave untranslated, as a null packet.
    {
        std::unique_lock<std::mutex> lock(m_mtxStep);
        m_cvStep.wait(lock, [this] {
            return m_bPsiReady.load(std::memory_order_acquire) ||
                   m_bStop.load(std::memory_order_acquire);
        });
    }
    while (!m_bStop.load(std::memory_order_acquire)) {
        const uint64_t nSteps = m_nSteps.load(std::memory_order_acquire);
        const bool bPsiQueued = InsertPsiIfDue();
        const bool bGathered = GatherPackets();
        if (AllInputsEnded()) {
            break;
        }
        // A pass that found nothing waits for the next output step: the
        // output writes in steps, so packets that fall due meanwhile leave
        // in the same step whether they are gathered now or then, and the
        // thread stays off the processor between steps.
        if (!bPsiQueued && !bGathered) {
            WaitForStep(nSteps);
        }
    }
    if (m_nDropped > 0) {
        LogPrint(kLogError, "mux: %lld packets lost in all to a full output buffer",
                 static_cast<long long>(m_nDropped));
    }
}

void CMuxCore::WaitForStep(uint64_t nSeen)
{
    std::unique_lock<std::mutex> lock(m_mtxStep);
    m_cvStep.wait_for(lock, kMuxIdleLimit, [this, nSeen] {
        return m_nSteps.load(std::memory_order_acquire) != nSeen ||
               m_bStop.load(std::memory_order_acquire);
    });
}

void CMuxCore::NoteStepDone()
{
    {
        std::lock_guard<std::mutex> lock(m_mtxStep);
        m_nSteps.fetch_add(1, std::memory_order_acq_rel);
    }
    m_cvStep.notify_one();
}

void CMuxCore::RaiseAndWake(std::atomic<bool>& bFlag)
{
    {
        std::lock_guard<std::mutex> lock(m_mtxStep);
        bFlag.store(true, std::memory_order_release);
    }
    m_cvStep.notify_all();
}

bool CMuxCore::InsertPsiIfDue()
{
    const int64_t nSince = m_nBytesSincePsi.load(std::memory_order_acquire);
    if (!IsPsiIntervalOver(nSince)) {
        return false;
    }
    const int nPackets = int(m_vPsiBuf.size() / kTsPacketSize);
    // The set goes into the ring whole or not at all, so that its continuity
    // counters never skip a packet that was not sent. Only this thread
    // queues, so the room seen here can only grow until the insertion.
    if (m_ring.GetQueued() + nPackets > kRingSlots - 1) {
        os::CCsGuard guard(m_lock);
        NoteRingFullLocked(false);
        return false;
    }
    for (int i = 0; i < nPackets; ++i) {
        CTsPacket packet;
        if (!packet.SetData(&m_vPsiBuf[size_t(i) * kTsPacketSize])) {
            continue;
        }
        uint8_t& nCc = m_vCc[packet.GetPid()];
        packet.SetContinuityCounter(nCc);
        nCc = (nCc + 1) & kCcMask;
    }
    {
        os::CCsGuard guard(m_lock);
        m_ring.InsertPackets(m_vPsiBuf.data(), int(m_vPsiBuf.size()));
        m_bRingFull = false;
    }
    // The set's own bytes count as written; bytes the output thread added
    // meanwhile stay counted.
    m_nBytesSincePsi.fetch_sub(nSince - int64_t(m_vPsiBuf.size()), std::memory_order_acq_rel);
    return true;
}

bool CMuxCore::IsPsiIntervalOver(int64_t nSinceBytes) const
{
    const double fBitsPerMs = double(m_fBitRate) * kMbit / 1000.0;
    return fBitsPerMs > 0.0 && !(double(nSinceBytes) * 8.0 / fBitsPerMs < double(kPsiRepeatMs));
}

bool CMuxCore::GatherPackets()
{
    bool bGathered = false;
    for (CInputModuleIface* pIn : m_vInputs) {
        _MUX_TS_PKT_T pkt{nullptr, -1, -1, -1};
        pkt.pData = pIn->GetOnePacket(pkt.llPtsDelta, pkt.llDtsDelta, pkt.nPcrPid);
        if (pkt.pData == nullptr) {
            continue;
        }
        bGathered = true;
        {
            os::CCsGuard guard(m_lock);
            if (m_ring.InsertPacket(pkt)) {
                m_bRingFull = false;
            } else {
                NoteRingFullLocked(true);
            }
        }
        // Handed back either way: a packet that did not fit is lost, but the
        // input keeps all its buffer.
        pIn->ReleaseBuffer(pkt.pData);
    }
    return bGathered;
}

bool CMuxCore::AllInputsEnded()
{
    for (CInputModuleIface* pIn : m_vInputs) {
        if (!pIn->IsStreamEnd()) {
            return false;
        }
    }
    return true;
}

void CMuxCore::NoteRingFullLocked(bool bPacketLost)
{
    if (bPacketLost) {
        ++m_nDropped;
    }
    // Inputs that outrun the output fill the ring on every pass; one line
    // per episode keeps the console readable, the total comes at the end.
    if (!m_bRingFull) {
        m_bRingFull = true;
        LogPrint(kLogError, "%s", kMsgRingFull);
    }
}
