#pragma once

#include "braidmill.h"
#include "mux/CMuxDriver.h"
#include "mux/CMuxPrograms.h"
#include "mux/CPsiBuilder.h"
#include "mux/CQueueInput.h"
#include "mux/CSlotScheduler.h"
#include "mux/CTableIntervals.h"
#include "os/CClock.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class CInputModule;
class CInputModuleIface;
class COutPutModuleBase;

// The engine of one multiplex, behind CMuxIface: the thin owner that wires
// the inputs, the programs and their tables, and the slot scheduler, then
// starts the driver (CMuxDriver) that writes the slots to the sink, either
// when the clock reaches them (real time) or as fast as the sink takes them
// (output time). Both write the same bytes. Keeps the inputs and the sink
// without owning them. An input's tables that change reach the scheduler in
// order with the packets, as markers in the input's queue; the driver has
// the programs (CMuxPrograms) apply each between two fills.
//
// Run waits a while for the inputs to find their programs. In real time it
// starts with those that did; the others join when they do, their programs
// added as new ones. An input that falls silent, stalls or loses its feed is
// down (CInputWatch): its programs stay in the tables, empty, and the output
// neither stops nor waits for it. In output time every input is waited for.
class CMuxCore final
{
public:
    CMuxCore();
    // Stops and joins the driver still running (normal use calls WaitFinish first).
    ~CMuxCore();
    CMuxCore(const CMuxCore&) = delete;
    CMuxCore& operator=(const CMuxCore&) = delete;

    // Configuration, client thread, before Run.
    void SetOutputBitRate(float fRate); // units of 1,048,576 bit/s
    void SetOutputBitRateBps(long long llBps) { m_llExactRate = llBps; }
    void SetOutPutModule(COutPutModuleBase* pOut) { m_pOutput = pOut; }
    void AddInputModule(CInputModuleIface* pIn);
    void SetVirtualClock(bool bVirtual) { m_bVirtualClock = bVirtual; }
    bool IsVirtualClock() const { return m_bVirtualClock; }
    void SetClock(os::IClock& clock) { m_pClock = &clock; }
    COutIdentity& GetIdentity() { return m_identity; }
    void SetDuration(double fSeconds) { m_fDuration = fSeconds; }
    void SetServiceNames(bool bFromInputs) { m_bServiceNames = bFromInputs; }
    // Scrambled services keep what descrambles them (CA descriptors, ECM and
    // EMM PIDs, a CAT); inputs added before and after are told.
    void SetCaPass(bool bPass);
    // 0: chosen from the load. Out of range: refused with an error line.
    void SetSdtInterval(int nMs);
    void SetNitInterval(int nMs);
    // SCHED_FIFO priority of the driver thread in real time; 0 normal.
    void SetRealtimePriority(int nPriority) { m_nRealtimePriority = nPriority; }
    void SetStartWaitMs(int nMs) { m_nStartWaitMs = nMs < 0 ? 0 : nMs; }
    void SetInputTimeoutMs(int nMs) { m_nInputTimeoutMs = nMs < 1 ? 1 : nMs; }
    // Client thread, before Run: waits up to nMaxMs (-1: no limit) until
    // every input knows its programs, one never will, or Stop. Returns how
    // many are ready.
    int WaitForInputs(int nMaxMs);

    void Run();
    void WaitFinish();
    void Stop();
    bool IsFailed() const
    {
        return m_bFailed.load(std::memory_order_acquire) || m_driver.IsFailed();
    }
    int GetOmittedProgramCount() const { return m_nOmitted.load(std::memory_order_acquire); }
    bool GetOmittedProgram(int nIndex, int& nInput, int& nProgramNumber) const;
    long long GetTableBitRate();
    bool SetOutputProgramNumber(int nInput, int nProgramNumber, int nOutNumber);
    bool GetStats(_MUX_STATS& stats) const { return m_driver.GetStats(stats); }
    // The output rate Run uses, bit/s; 0 when none is set.
    long long GetBitRate() const;

    // Views for tests, valid after Run.
    const std::vector<CPsiTable>& GetTables() const { return m_programs.GetTables(); }
    const std::vector<COutProgram>& GetPrograms() const { return m_programs.GetPrograms(); }

private:
    static CInputModule* ModuleOf(CInputModuleIface* pIn);
    // 0 or kSiMinIntervalMs to nMaxMs; else false with an error line.
    static bool IsIntervalValid(const char* szTable, int nMs, int nMaxMs);
    // Numbers the programs, writes the PID maps, builds the tables and the
    // scheduler. False (with an error line) when the tables cannot be built.
    bool Prepare();
    void Fail();

    std::vector<CInputModuleIface*> m_vInputs; // AddInputModule order; not owned
    COutPutModuleBase* m_pOutput = nullptr;    // the sink; not owned
    os::IClock* m_pClock;                      // real-time pacing
    float m_fBitRate = 0.0f;                   // units of 1,048,576 bit/s
    long long m_llExactRate = 0;               // bit/s when given exactly; 0 none
    COutIdentity m_identity;
    double m_fDuration = 0.0; // seconds of output; 0: until the inputs end
    bool m_bVirtualClock = false;
    bool m_bServiceNames = false; // the SDT carries the inputs' service names
    bool m_bCaPass = false;       // CA descriptors, ECM and EMM PIDs and a CAT go out
    int m_nStartWaitMs = 10'000;  // Run's wait for the inputs' programs
    int m_nInputTimeoutMs = 1000; // silence that makes an input down
    CTableIntervals m_intervals;  // how often each kind of table repeats
    int m_nRealtimePriority = 0;  // SCHED_FIFO priority of the driver; 0 normal
    bool m_bRunCalled = false;
    bool m_bStarted = false; // the driver thread runs or ran

    // Built by Run before the driver starts; the driver's alone afterwards.
    std::unique_ptr<CSlotScheduler> m_pScheduler;
    std::vector<std::unique_ptr<CQueueInput>> m_vQueues; // the scheduler's view of each input
    CMuxPrograms m_programs;
    std::vector<CPsiBuilder::COmitted> m_vOmitted;
    std::vector<bool> m_vJoining; // per input: not ready at the start

    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bFailed{false};
    std::atomic<int> m_nOmitted{0};
    CMuxDriver m_driver{m_bStop}; // after what it is given: it goes first
};
