#pragma once

#include "braidmill.h"
#include "mux/CInputWatch.h"
#include "os/CClock.h"
#include "os/COsThread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CInputModule;
class CMuxPrograms;
class COutPutModuleBase;
class CSlotScheduler;
class CTableIntervals;

// The one thread that writes the multiplex: it asks the slot scheduler for
// slots and hands them to the sink. It decides only when: in real time as
// the pacer allows (slot n once the clock reaches start + n * 188 * 8 /
// rate, in the sink's units, one absolute-time sleep per write, a stall
// made up at once or spread out as the sink asks); in output time, as fast
// as the sink takes them. What the slots hold is the scheduler's alone, so
// both write the same bytes, and a stall of the process only delays the
// writing. Where a fill stops at a change, the programs apply it before the
// next fill. In real time it also judges each input (up, stalled, down).
//
// Owned by the engine, which starts it once everything it is given is
// built; it publishes the run's figures for any thread to read.
class CMuxDriver
{
public:
    // What a run works with; nothing of it is owned.
    struct CRun
    {
        CSlotScheduler* pScheduler = nullptr;
        CMuxPrograms* pPrograms = nullptr;
        COutPutModuleBase* pOutput = nullptr;
        os::IClock* pClock = nullptr;          // real-time pacing
        const CTableIntervals* pIntervals = nullptr; // for the figures
        std::vector<CInputModule*> vInputs;
        std::vector<bool> vJoining;  // per input: not ready at the start
        double fDuration = 0.0;      // seconds of output; 0: until the inputs end
        bool bVirtualClock = false;  // output time: as fast as the sink takes it
        int nRealtimePriority = 0;   // SCHED_FIFO priority in real time; 0 normal
        int nInputTimeoutMs = 1000;  // silence that makes an input down
    };

    // bStop: the engine's stop flag, looked at between writes.
    explicit CMuxDriver(const std::atomic<bool>& bStop) : m_bStop(bStop), m_stats() {}
    ~CMuxDriver() { Join(); }
    CMuxDriver(const CMuxDriver&) = delete;
    CMuxDriver& operator=(const CMuxDriver&) = delete;

    // Client thread: publishes the figures at the start and starts the
    // thread. False when it could not be started.
    bool Start(CRun run);
    void Join() { m_thDriver.Join(); }
    bool IsFailed() const { return m_bFailed.load(std::memory_order_acquire); }
    // Any thread: the figures last published; false before Start.
    bool GetStats(_MUX_STATS& stats) const;

private:
    static unsigned long ThreadProc(void* pDriver);
    void DriveLoop();
    // Fills nWant slots at pOut, applying each change a fill stops at.
    int FillSlots(int nWant, uint8_t* pOut);
    // Before the first write: the real-time priority and locked, touched
    // memory asked for; one line where not permitted.
    void EnterRealtime();
    // The first live input whose queue is seven eighths full, -1 none.
    // While the output is behind, a live input's packets wait there for
    // their slots; the pacer then writes what is owed at once rather than
    // let the input drop them.
    int FindFillingLiveQueue() const;
    // Real time: judges every input (up, stalled, down) once per round;
    // nStarved is the input the slots wait for, -1 none.
    void WatchInputs(int nStarved);
    // bWait false: skipped (false returned) while a reader holds the figures,
    // so that the driver never waits on a thread of lower priority.
    bool PublishStats(bool bWait = true);
    void ReadInputCounters(_MUX_STATS& stats) const;

    const std::atomic<bool>& m_bStop;
    CRun m_run;
    os::COsThread m_thDriver;               // started by Start; Join or the destructor joins it
    std::unique_ptr<CInputWatch> m_pWatch;  // real time: which inputs are down
    bool m_bLiveHurry = false; // the output hurried for a live input (logged once an episode)
    std::atomic<bool> m_bDriving{false};     // the thread runs: the inputs are alive
    std::atomic<bool> m_bFailed{false};      // the run stopped on an error
    std::atomic<int64_t> m_nMaxLagMicros{0}; // the pacer's figure, driver thread writes

    mutable std::mutex m_mtxStats; // guards m_stats and m_bHaveStats
    _MUX_STATS m_stats;
    bool m_bHaveStats = false;
};
