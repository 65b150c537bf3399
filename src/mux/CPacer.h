#pragma once

#include "mux/COutputTime.h"
#include "os/CClock.h"

#include <cstdint>

// When the real-time driver writes, whatever the sink. Slot n falls due when
// the clock reaches start + (n + 1) * 188 * 8 / rate. The sink's unit (the
// packets that leave together: a datagram) is written whole, a group of
// units per wake-up, centred on their due times, so a unit leaves within
// half a group of its time.
//
// After a stall (the process stopped, the machine busy, a waited-for input
// slow) what is owed goes out at once for a sink that does not mind (a
// file), or, for one that sets a catch-up percentage, one group per write
// with the writes at least the group's time / (1 + percentage) apart: a
// receiver with a small buffer never sees a burst, and no two groups come
// closer than the spacing allows. The bytes are the scheduler's either way.
// A lag beyond a bound goes out at once, so that a machine that stalls more
// than the percentage can make up still keeps the output's rate.
//
// Reads and sleeps on the clock it is given, so a test steps it with a
// manual clock. Driver thread only; the driver owns it.
class CPacer
{
public:
    struct CConfig
    {
        int nUnitSlots = 1;         // slots that leave together
        int nGroupUnits = 1;        // units per write when on time
        int nCatchUpPercent = 0;    // above the rate while behind; 0: what is owed at once
        int64_t nMaxBatchSlots = 1; // most slots per write
        int64_t nMaxLagMicros = 0;  // behind further than this, the excess goes at once
    };

    // Starts the schedule: slot 0 is due at the clock's reading now.
    CPacer(const COutputTime& time, const CConfig& config, os::IClock& clock);

    // Slots that may be written now after nWritten: 0 until their time, a
    // whole group (or the rest of one) while on time or catching up.
    int64_t GetAllowed(int64_t nWritten);
    // Sleeps until slots after nWritten may go (once; a caller loops).
    void SleepUntilAllowed(int64_t nWritten);
    // nSlots were handed to the sink; the clock is read for the catch-up limit.
    void OnWritten(int64_t nSlots);

    int64_t GetStartMicros() const { return m_nStart; }
    int64_t GetGroupSlots() const { return m_nGroup; }
    // The furthest the output fell behind its schedule, microseconds.
    int64_t GetMaxLagMicros() const { return m_nMaxLag; }

private:
    // Slots whose group may go at nMicros.
    int64_t ScheduledBy(int64_t nMicros) const;
    // When the group holding slot nSlot may go.
    int64_t GroupTime(int64_t nSlot) const;

    const COutputTime& m_time;
    CConfig m_config;
    os::IClock& m_clock;
    int64_t m_nGroup;        // slots per group
    int64_t m_nEarly;        // how early a group goes: half its span, microseconds
    int64_t m_nStart;        // clock when slot 0 is due, microseconds
    int64_t m_nNotBefore;    // catch-up: the next write's earliest time, microseconds
    int64_t m_nMaxLag = 0;   // microseconds
    bool m_bOverLag = false; // the lag passed its bound (logged once per episode)
};
