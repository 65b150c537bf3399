#pragma once

#include "input/CInputTimeline.h"
#include "input/CLiveClock.h"
#include "input/CTimedQueue.h"
#include "os/CClock.h"

#include <atomic>
#include <cstdint>
#include <vector>

// The time every queued packet of an input is due. Packets are written to
// the queue with their input position and wait there, unpublished, until
// they are timed: between the pacing PCRs around them on the input's
// timeline, or from the last PCR where the next cannot be waited for (a
// live input, too many waiting, the end). A live input's times are mapped
// through its sender's recovered clock to ours: microseconds times 27
// (ticks). An unpaced input's packets are all due at once (time 0). Used by
// the input's reader thread; the given rate and the figures from any thread.
// Owned by the input module.
class CPacketTiming
{
public:
    explicit CPacketTiming(CTimedQueue& queue) : m_queue(queue), m_vLastPcr(kPidCount, -1) {}
    CPacketTiming(const CPacketTiming&) = delete;
    CPacketTiming& operator=(const CPacketTiming&) = delete;

    // Before data.
    void SetTimed(bool bTimed) { m_bTimed = bTimed; }
    bool IsTimed() const { return m_bTimed; }
    void SetLive(bool bLive) { m_bLive = bLive; }
    bool IsLive() const { return m_bLive; }
    void SetClock(os::IClock& clock) { m_pClock = &clock; }
    // bit/s from the client, for an input whose PCRs give no rate; -1 none.
    void SetGivenBitRate(int nBitsPerSecond)
    {
        m_nGivenBitRate.store(nBitsPerSecond, std::memory_order_relaxed);
    }
    int GetGivenBitRate() const { return m_nGivenBitRate.load(std::memory_order_relaxed); }

    // The input is ready: packets come from here on.
    void Start() { m_timeline.SetFallbackBitRate(GetGivenBitRate()); }
    // A PCR of PID nPid in the packet in hand (a timed input). True when
    // its PID's PCRs jumped without a signal: every PID says so from here.
    bool TakePcr(int nPid, int64_t nPcr, bool bDiscontinuity);
    // After the packet in hand at nPos was queued or not: times what can
    // be timed now and publishes it. bReplayed: a packet stored before
    // ready, whose arrival says nothing of its sender's clock.
    void Stamp(int64_t nPos, bool bReplayed);
    // The first packet at nPos after the input was down: a live input's
    // sender clock is found again from here.
    void Resume(int64_t nPos);
    // The stream ended; bReady: what waits is timed and published.
    void End(bool bReady);

    int64_t GetPcrCount() const { return m_nPcrs.load(std::memory_order_relaxed); }
    // Over the longest stretch of PCRs on one time base; -1 not known.
    int64_t GetBitRate() const { return m_nBitRate.load(std::memory_order_relaxed); }

private:
    // Whether the PCR paces the input; bNewBase when it starts a new time
    // base for the timeline, bJump when its own PID's PCRs jumped.
    bool TakesPacePcr(int nPid, int64_t nPcr, bool bDiscontinuity, bool& bNewBase, bool& bJump);
    // Times and publishes the pending packets: between the last two PCRs,
    // or (bExtrapolate) from the last at its rate.
    void StampPending(bool bExtrapolate);

    CTimedQueue& m_queue;
    os::IClock* m_pClock = &os::CMonotonicClock::Instance(); // live arrivals
    bool m_bTimed = false;                                   // PCR-paced; unpaced until told
    bool m_bLive = false;
    std::atomic<int> m_nGivenBitRate{-1}; // bit/s; -1 none

    CInputTimeline m_timeline;
    CLiveClock m_liveClock;          // live inputs: timeline to our clock
    std::vector<int64_t> m_vLastPcr; // per input PID: last PCR seen, -1 none
    int m_nPacePid = -1;             // the PID whose PCRs pace the input
    int64_t m_nSincePace = 0;        // ticks on another PID's clock since the pacing PCR
    int m_nSinceOtherPid = -1;       // that other PID
    bool m_bPace = false;            // the packet in hand carries a pacing PCR ...
    bool m_bNewBase = false;         // ... that starts a new time base
    int64_t m_nPcr = -1;             // ... of this value, ticks
    int64_t m_nLastTime = 0;         // last time published, ticks
    int64_t m_nLiveFloor = 0;        // live: no time before this, ticks (set at the end)
    bool m_bNoPcrLogged = false;

    std::atomic<int64_t> m_nPcrs{0};
    std::atomic<int64_t> m_nBitRate{-1};
};
