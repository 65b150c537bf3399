// The output-time mode of CMuxCore: one thread gathers from the inputs,
// queues the PSI set and writes the ring, in lock-step with the output's own
// time (bytes written at the output rate) instead of the wall clock. The
// multiplex is the one a perfect real-time run would give, as fast as the
// machine goes, and the same on every run: output time never passes a point
// before every input has handed over what is due by then or is known to have
// nothing due, and an input whose reader is behind is waited for.
#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "input/CInputModule.h"
#include "log/CLogger.h"

#include <algorithm>
#include <exception>

namespace {

// Longest single wait for a reader that is behind; the wait is woken by the
// reader's next packet, this only bounds how late a stop is seen.
constexpr unsigned kReaderWaitMs = 5;
// Slots written at most between two looks at the inputs: bounds the
// restamping walk and keeps a stop prompt.
constexpr int kMaxBatchSlots = 65'536;

} // namespace

unsigned long CMuxCore::VirtualThreadProc(void* pEngine)
{
    CMuxCore* pCore = static_cast<CMuxCore*>(pEngine);
    try {
        pCore->VirtualLoop();
    } catch (const std::exception& e) {
        LogPrint(kLogError, "mux: the multiplex stopped: %s", e.what());
        pCore->m_bFailed.store(true, std::memory_order_release);
    }
    pCore->m_bMuxEnd.store(true, std::memory_order_release);
    LogPrint(kLogDebug, "%s", kMsgOutThreadExit);
    return 0;
}

void CMuxCore::VirtualLoop()
{
    m_vHeld.assign(m_vInputs.size(), 0);
    m_pacer.Start();
    int64_t nWritten = 0; // output slots written
    bool bGathering = true;
    while (!m_bStop.load(std::memory_order_acquire)) {
        m_virtualClock.SetSlot(nWritten);
        int nSlots = 0;
        if (bGathering) {
            InsertPsiIfDue();
            if (GatherAllDue()) {
                bGathering = false;
                if (m_nDropped > 0) {
                    LogPrint(kLogError, "mux: %lld packets lost in all to a full output buffer",
                             static_cast<long long>(m_nDropped));
                }
                LogPrint(kLogDebug, "%s", kMsgMuxThreadExit);
                continue;
            }
            if (m_bStop.load(std::memory_order_acquire)) {
                break;
            }
            nSlots = SlotsUntilDue(nWritten);
        } else {
            // Every input has ended: what is queued goes out, and nothing after it.
            nSlots = std::min(m_ring.GetQueued(), kMaxBatchSlots);
            if (nSlots == 0) {
                break;
            }
        }
        WriteSlots(nSlots);
        nWritten += nSlots;
    }
}

bool CMuxCore::GatherAllDue()
{
    for (;;) {
        bool bGathered = false;
        bool bAllEnded = true;
        for (size_t i = 0; i < m_vInputs.size(); ++i) {
            CInputModuleIface* pIn = m_vInputs[i];
            CInputModule* pModule = pIn->m_pModule;
            m_vHeld[i] = 0;
            // One packet per input per pass, as the real-time mux thread takes
            // them. Every miss is settled before going on: handed over, held
            // back with packets still to come, or ended.
            for (;;) {
                _MUX_TS_PKT_T pkt{nullptr, -1, -1, -1};
                pkt.pData = pIn->GetOnePacket(pkt.llPtsDelta, pkt.llDtsDelta, pkt.nPcrPid);
                if (pkt.pData != nullptr) {
                    {
                        os::CCsGuard guard(m_lock);
                        if (m_ring.InsertPacket(pkt)) {
                            m_bRingFull = false;
                        } else {
                            NoteRingFullLocked(true);
                        }
                    }
                    pIn->ReleaseBuffer(pkt.pData);
                    bGathered = true;
                    bAllEnded = false;
                    break;
                }
                // End flag before the FIFO: a reader stores its last packet
                // before it reports the end.
                if (pIn->IsStreamEnd()) {
                    break;
                }
                if (pModule->GetLastMiss() == CInputModule::EMiss::kHeldBack &&
                    pModule->HasStoredPacket()) {
                    m_vHeld[i] = 1;
                    bAllEnded = false;
                    break;
                }
                // The reader has not got this far yet; whether the input is
                // held back or ends must not depend on how far it has read.
                if (m_bStop.load(std::memory_order_acquire)) {
                    return false;
                }
                pModule->WaitForData(kReaderWaitMs);
            }
        }
        if (!bGathered) {
            return bAllEnded;
        }
    }
}

int CMuxCore::SlotsUntilDue(int64_t nWritten) const
{
    int64_t nSlots = kMaxBatchSlots;
    // A held-back input stays held back until its pacer's due time; an ended
    // one gives nothing more.
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        if (m_vHeld[i] == 0) {
            continue;
        }
        const int64_t nDue = m_vInputs[i]->m_pModule->GetDueMicros();
        if (nDue >= 0) {
            nSlots = std::min(nSlots, m_virtualClock.FirstSlotAt(nDue) - nWritten);
        }
    }
    // The PSI set falls due within the batch: stop where it does.
    const int64_t nSince = m_nBytesSincePsi.load(std::memory_order_relaxed);
    int64_t nPsi = 1;
    while (nPsi < nSlots && !IsPsiIntervalOver(nSince + nPsi * kTsPacketSize)) {
        ++nPsi;
    }
    nSlots = std::min(nSlots, nPsi);
    return int(std::max<int64_t>(nSlots, 1));
}

void CMuxCore::WriteSlots(int nSlots)
{
    const int nBytes = nSlots * kTsPacketSize;
    m_pacer.AddSentBytes(nBytes);
    {
        os::CCsGuard guard(m_lock);
        RestampPcr(nSlots);
        for (int i = 0; i < nSlots; ++i) {
            m_pOutput->RenderOnePacket(m_ring.Slot(0).pData);
            m_ring.RecycleHead();
        }
    }
    m_nBytesSincePsi.fetch_add(nBytes, std::memory_order_acq_rel);
}
