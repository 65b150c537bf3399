#pragma once

#include "mux/CMuxRing.h"
#include "mux/CPsiBuilder.h"
#include "mux/CVirtualClock.h"
#include "mux/MuxTypes.h"
#include "os/CClock.h"
#include "os/COsThread.h"
#include "os/CCriticalSection.h"
#include "ts/CBytePacer.h"
#include "ts/CCalcPcrN1.h"
#include "ts/TsConstants.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

class CInputModuleIface;
class COutPutModuleBase;

// The engine of one multiplex, behind CMuxIface. The client configures it
// and calls Run and WaitFinish; Run starts the mux thread (inputs -> ring),
// numbers the programs and builds the PSI set, then starts the output thread
// (ring -> sink at the configured rate). The engine owns its ring, PSI set,
// pacer, PCR calculators and both threads; it keeps the inputs and the sink
// without owning them.
class CMuxCore
{
public:
    CMuxCore();
    // Stops and joins threads still running (normal use calls WaitFinish first).
    ~CMuxCore();
    CMuxCore(const CMuxCore&) = delete;
    CMuxCore& operator=(const CMuxCore&) = delete;

    // Configuration, client thread, before Run.
    void SetOutputBitRate(float fRate); // units of 1,048,576 bit/s
    void SetOutputBitRateBps(long long llBps) { m_llBitRate = llBps; }
    COutIdentity& GetIdentity() { return m_identity; }
    void Stop();
    bool GetStats(_MUX_STATS& stats) const;
    bool GetOmittedProgram(int, int&, int&) const { return false; }
    long long GetTableBitRate() { return -1; }
    void SetDuration(double fSeconds) { m_fDuration = fSeconds; }
    void SetOutPutModule(COutPutModuleBase* pOut) { m_pOutput = pOut; }
    void AddInputModule(CInputModuleIface* pIn) { m_vInputs.push_back(pIn); }
    void SetVirtualClock(bool bVirtual) { m_bVirtualClock = bVirtual; }
    bool IsVirtualClock() const { return m_bVirtualClock; }
    // The clock the output is paced by (wall clock by default).
    void SetClock(os::IClock& clock);

    void Run();
    void WaitFinish();
    bool IsFailed() const { return m_bFailed.load(std::memory_order_acquire); }
    int GetOmittedProgramCount() const { return m_nOmitted.load(std::memory_order_acquire); }

    // Ring insertions; the caller holds m_lock.
    bool InsertPacket(const _MUX_TS_PKT_T& pkt) { return m_ring.InsertPacket(pkt); }
    bool InsertPackets(const unsigned char* pData, int nLen)
    {
        return m_ring.InsertPackets(pData, nLen);
    }

    // The steps the threads are made of. Public so that tests can run them
    // one by one on their own thread; otherwise only Run and the threads call them.
    bool BuildPsi();       // client thread, once every input is ready
    bool InsertPsiIfDue(); // mux thread; true when the PSI set was queued
    bool GatherPackets();  // mux thread; true when some input handed a packet over
    bool AllInputsEnded(); // mux thread
    void StartPacing() { m_pacer.Start(); }
    bool SendDuePackets(); // output thread; true when packets were written
    void RestampPcr(int nCount);

    // Views for tests.
    os::CCriticalSection& GetLock() { return m_lock; }
    CMuxRing& GetRing() { return m_ring; }
    const std::vector<unsigned char>& GetPsiSet() const { return m_vPsiBuf; }
    const std::map<int, std::unique_ptr<CCalcPcrN1>>& GetPcrCalcs() const { return m_pcrCalcs; }
    int64_t GetBytesSincePsi() const { return m_nBytesSincePsi.load(); }
    int64_t GetDroppedPackets() const { return m_nDropped; }

private:
    static unsigned long MuxThreadProc(void* pEngine);
    static unsigned long OutThreadProc(void* pEngine);
    void MuxLoop();
    void OutputLoop();
    void NoteRingFullLocked(bool bPacketLost);
    // The mux thread's pause: until the output thread has written a step
    // after nSeen steps, or stop.
    void WaitForStep(uint64_t nSeen);
    void NoteStepDone();
    // Sets the flag under the step mutex and wakes the mux thread, so that
    // a wait that has just tested the flag cannot miss it.
    void RaiseAndWake(std::atomic<bool>& bFlag);
    // Run gives up: the mux thread is stopped, readers blocked on a full
    // input are let go, and the engine stays failed.
    void FailRun();
    bool IsPsiIntervalOver(int64_t nSinceBytes) const;

    // Output-time mode: one thread gathers, queues and writes in lock-step
    // with the output's own time (VirtualThread.cpp).
    static unsigned long VirtualThreadProc(void* pEngine);
    void VirtualLoop();
    // Gathers until every input is held back or has ended; true when all
    // have ended, false when stopped.
    bool GatherAllDue();
    // Slots that can be written before anything may fall due.
    int SlotsUntilDue(int64_t nWritten) const;
    void WriteSlots(int nSlots);

    os::COsThread m_thMux;                     // started first by Run
    os::COsThread m_thOut;                     // started last by Run; WaitFinish joins it
    std::vector<CInputModuleIface*> m_vInputs; // AddInputModule order; not owned
    COutPutModuleBase* m_pOutput = nullptr;    // the sink; not owned
    os::IClock* m_pClock;                      // output pacing clock
    CBytePacer m_pacer;                        // output thread after Run
    float m_fBitRate = 0.0f;                   // units of 1,048,576 bit/s
    long long m_llBitRate = 0;                 // bit/s when given exactly; 0 none
    COutIdentity m_identity;
    double m_fDuration = 0.0; // seconds of output; 0 until the inputs end

    os::CCriticalSection m_lock; // guards m_ring and its slots
    CMuxRing m_ring;

    // Set by BuildPsi before the gate opens; afterwards read and stamped by
    // the mux thread alone.
    std::vector<unsigned char> m_vPsiBuf;   // PAT, PMTs, SDT, NIT packets
    std::array<uint8_t, kPidCount> m_vCc{}; // next continuity counter per PSI PID
    // Output bytes since the PSI set was last queued: added to by the output
    // thread, taken down by the mux thread.
    std::atomic<int64_t> m_nBytesSincePsi{0};

    // One calculator per output PCR PID, keyed by it; the output thread's
    // once BuildPsi has made them.
    std::map<int, std::unique_ptr<CCalcPcrN1>> m_pcrCalcs;
    std::set<int> m_restartPending; // PCR PIDs whose next PCR starts a new time base

    // Output steps written. Nothing the mux thread queues can leave before
    // the next step, so an idle mux thread waits for one instead of polling.
    std::mutex m_mtxStep;             // guards the waits on m_cvStep
    std::condition_variable m_cvStep; // a step written, the gate opened, or stop
    std::atomic<uint64_t> m_nSteps{0};

    std::atomic<bool> m_bPsiReady{false}; // PID maps written, PSI set built
    std::atomic<bool> m_bMuxEnd{false};   // the mux thread's last act
    std::atomic<bool> m_bStop{false};     // threads leave at once
    std::atomic<bool> m_bFailed{false};
    std::atomic<int> m_nOmitted{0}; // programs left out by numbering
    bool m_bRunCalled = false;
    bool m_bOutStarted = false; // Run started the output thread
    bool m_bVirtualClock = false;
    CVirtualClock m_virtualClock;  // output-time mode only
    std::vector<uint8_t> m_vHeld;  // per input: held back after the last gathering

    // Full-ring bookkeeping of the mux thread: one line per episode, a total at the end.
    bool m_bRingFull = false;
    int64_t m_nDropped = 0; // gathered packets lost to a full ring
};
