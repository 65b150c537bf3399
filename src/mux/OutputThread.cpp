// The output thread of CMuxCore: writes the ring to the sink at the
// configured rate, null packets where nothing is queued, and restamps the
// PCRs of every output program to the packets' positions in the output.
#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "log/CLogger.h"
#include "ts/CTsPacket.h"

#include <algorithm>
#include <exception>

namespace {

// Pause when a step found nothing due although the pacer let it through
// (within the millisecond the pacer measures in).
constexpr unsigned kOutIdleMs = 1;

} // namespace

unsigned long CMuxCore::OutThreadProc(void* pEngine)
{
    CMuxCore* pCore = static_cast<CMuxCore*>(pEngine);
    pCore->StartPacing();
    try {
        pCore->OutputLoop();
    } catch (const std::exception& e) {
        // A sink that throws ends the output; the mux thread is stopped too,
        // as nothing would drain what it queues.
        LogPrint(kLogError, "mux: the output thread stopped: %s", e.what());
        pCore->m_bFailed.store(true, std::memory_order_release);
        pCore->RaiseAndWake(pCore->m_bStop);
    }
    LogPrint(kLogDebug, "%s", kMsgOutThreadExit);
    return 0;
}

void CMuxCore::OutputLoop()
{
    for (;;) {
        const bool bSent = SendDuePackets();
        if (bSent) {
            NoteStepDone();
        }
        if (m_bStop.load(std::memory_order_acquire) ||
            (m_bMuxEnd.load(std::memory_order_acquire) && m_ring.GetQueued() == 0)) {
            return;
        }
        if (!bSent) {
            m_pClock->SleepMs(kOutIdleMs);
        }
    }
}

bool CMuxCore::SendDuePackets()
{
    m_pacer.Wait();
    const int nDue = m_pacer.GetDueBytes();
    if (nDue <= 0) {
        return false;
    }
    // Far behind (a sink that stalled), one step writes at most the ring
    // once; the pacer is told exactly what was written, so it catches up.
    const int nPackets = std::min(nDue / kTsPacketSize, kRingSlots - 1);
    const int nBytes = nPackets * kTsPacketSize;
    m_pacer.AddSentBytes(nBytes);
    {
        os::CCsGuard guard(m_lock);
        RestampPcr(nPackets);
        for (int i = 0; i < nPackets; ++i) {
            m_pOutput->RenderOnePacket(m_ring.Slot(0).pData);
            m_ring.RecycleHead();
        }
    }
    m_nBytesSincePsi.fetch_add(nBytes, std::memory_order_acq_rel);
    return true;
}

void CMuxCore::RestampPcr(int nCount)
{
    if (m_pcrCalcs.empty()) {
        return;
    }
    for (int i = 0; i < nCount; ++i) {
        CTsPacket packet;
        const int nPid = packet.SetData(m_ring.Slot(i).pData) ? packet.GetPid() : -1;
        // Every packet counts towards every calculator's distance, so the
        // distance is measured in the packets of the output itself.
        for (auto& entry : m_pcrCalcs) {
            CCalcPcrN1& calc = *entry.second;
            if (entry.first != nPid) {
                calc.AddPacket();
                continue;
            }
            const int64_t nOwn = packet.GetPcr();
            if (packet.GetDiscontinuityIndicator()) {
                // A new time base: the packet keeps its PCR, which becomes
                // the reference; restamping across the jump would put the
                // clock out of step with the PTS/DTS that follow it.
                if (nOwn < 0) {
                    m_restartPending.insert(nPid);
                    calc.InputPcr(-1);
                } else {
                    m_restartPending.erase(nPid);
                    calc.RestartAt(nOwn);
                }
                continue;
            }
            if (nOwn >= 0 && m_restartPending.erase(nPid) != 0) {
                calc.RestartAt(nOwn);
                continue;
            }
            const int64_t nEstimate = calc.GetCurrentPcr();
            if (nEstimate < 0) {
                calc.InputPcr(nOwn); // the first PCR becomes the reference
                continue;
            }
            packet.SetPcr(nEstimate);
            calc.InputPcr(nEstimate);
        }
    }
}
