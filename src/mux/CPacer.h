#pragma once

#include "mux/COutputTime.h"
#include "os/CClock.h"

#include <cstdint>

// When the real-time driver writes, whatever the sink. Slot n falls due when
// the clock reaches start + (n + 1) * 188 * 8 / rate. The sink's unit (the
// packets that leave together: a datagram) is written whole, a group of
// units per write, centred on their due times, so a unit leaves within half
// a group of its time.
//
// Behind its schedule (the process stopped, the machine busy, a waited-for
// input slow), a sink that does not mind (a file) gets what is owed at once.
// A sink that sets a catch-up percentage gets a group per write, under two
// limits: on average no more than that percentage above the rate (a budget
// that may run ahead by a small leeway, so that a late wake-up is made up at
// once), and never a write sooner than half a group's time after the last
// one. A receiver with a small buffer then sees no burst, and the bytes are
// the scheduler's either way. Beyond a lag bound a write carries a few
// groups, and beyond twice the bound what is owed past the bound goes at
// once, so that a machine that stalls more than the percentage can make up
// still keeps the output's rate; a driver that says it must hurry gets all
// that is owed at once.
//
// Reads and sleeps on the clock it is given, so a test steps it with a
// manual clock. Driver thread only; the driver owns it.
class CPacer
{
public:
    struct CConfig
    {
        int nUnitSlots = 1;         // slots that leave together
        int nGroupUnits = 1;        // units per write
        int nCatchUpPercent = 0;    // above the rate while behind; 0: what is owed at once
        int64_t nMaxBatchSlots = 1; // most slots per write
        int64_t nLeewayMicros = 0;  // how far the budget may run ahead, at least a group
        int64_t nMaxLagMicros = 0;  // behind further than this: bursts, twice as far: at once
        int nBurstGroups = 1;       // groups per write beyond the lag bound
    };

    // Starts the schedule: slot 0 is due at the clock's reading now.
    CPacer(const COutputTime& time, const CConfig& config, os::IClock& clock);

    // Slots that may be written now: 0 until their time, else a whole group
    // (or the rest of one), more only where a file or the lag bound asks,
    // or bHurry: all that is owed, as for a file (a live input's queue is
    // filling up behind the lag; losing its packets would be worse).
    int64_t GetAllowed(bool bHurry = false);
    // Sleeps until the next write may go (once; a caller loops).
    void SleepUntilAllowed();
    // nSlots were handed to the sink; the clock is read for the limits.
    void OnWritten(int64_t nSlots);

    // The last GetAllowed gave more than a group because it was told to hurry.
    bool IsHurrying() const { return m_bHurrying; }
    int64_t GetStartMicros() const { return m_nStart; }
    // The furthest the output fell behind its schedule, microseconds.
    int64_t GetMaxLagMicros() const { return m_nMaxLag; }

private:
    // Slots whose group may go at nMicros.
    int64_t ScheduledBy(int64_t nMicros) const;
    // When the group holding slot nSlot may go.
    int64_t GroupTime(int64_t nSlot) const;
    bool IsPaced() const { return m_config.nCatchUpPercent > 0; }
    // When the budget and the spacing let the next write go.
    int64_t PacedFrom() const;

    const COutputTime& m_time;
    CConfig m_config;
    os::IClock& m_clock;
    int64_t m_nGroup;         // slots per group
    int64_t m_nEarly;         // how early a group goes: half its span, microseconds
    int64_t m_nStart;         // clock when slot 0 is due, microseconds
    int64_t m_nWritten = 0;   // slots handed to the sink
    int64_t m_nBudget;        // when the writes so far are paid for at the catch-up rate
    int64_t m_nLastGroupEnd;  // when the last write that finished a group ended
    int64_t m_nMaxLag = 0;    // microseconds
    bool m_bAtOnce = false;   // the allowance just given is not charged to the budget
    bool m_bHurrying = false; // see IsHurrying
    bool m_bOverLag = false;  // the lag passed its bound (logged once per episode)
};
