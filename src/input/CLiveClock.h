#pragma once

#include <cstdint>
#include <deque>

// The clock of a live input's sender, recovered against ours: maps a time on
// the input's timeline (27 MHz ticks, from its pacing PCRs) to microseconds
// of our monotonic clock. Fed one sample per pacing PCR: its timeline time
// and when it arrived. Network jitter only ever delays an arrival, so the
// offset follows the lower envelope of (arrival - time): the minimum of each
// window of about a second. The sender's rate against ours (its drift, tens
// of ppm) is the slope of those minima over the last half minute. The map
// moves towards the fitted line a little per window and never jumps, so a
// fast sender neither piles up delay nor runs the queue dry, and a burst of
// jitter does not shift it. A gap in the arrivals or a new time base starts
// it afresh from the next sample. Used by the input's reader thread alone.
class CLiveClock
{
public:
    // A pacing PCR of timeline time nTime (ticks) that arrived at
    // nArrivalMicros. bNewBase: the timeline does not continue (a signalled
    // discontinuity or a jump).
    void AddSample(int64_t nTime, int64_t nArrivalMicros, bool bNewBase);

    bool HasAnchor() const { return m_bAnchored; }
    // Our clock's microseconds for timeline time nTime; needs an anchor.
    int64_t LocalMicros(int64_t nTime) const;
    // The sender's rate against ours, minus one: ppm / 1e6 (positive: fast).
    double GetDrift() const { return 1.0 / m_fRate - 1.0; }
    int GetAnchorCount() const { return m_nAnchors; }

private:
    struct CWindowMin
    {
        double fAt;    // timeline microseconds since the base
        double fDelta; // arrival minus that, microseconds
    };

    void Anchor(int64_t nTime, int64_t nArrivalMicros);
    void CloseWindow();

    bool m_bAnchored = false;
    int m_nAnchors = 0;
    // The map: local = m_fLocal + (time - m_nTime) / 27 * m_fRate.
    int64_t m_nTime = 0;   // timeline ticks at the map's reference point
    double m_fLocal = 0;   // our microseconds there
    double m_fRate = 1.0;  // our microseconds per sender microsecond

    int64_t m_nBaseTime = 0;      // timeline ticks the fit counts from
    int64_t m_nBaseMicros = 0;    // the first arrival since the anchor
    int64_t m_nLastArrival = 0;   // microseconds
    int64_t m_nWindowStart = 0;   // timeline ticks
    bool m_bWindowOpen = false;
    CWindowMin m_windowMin{0, 0};  // of the open window
    std::deque<CWindowMin> m_vMins; // closed windows, oldest first
};
