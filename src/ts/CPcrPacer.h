#pragma once

#include "os/CClock.h"

#include <cstdint>

// Paces an input at the speed of its own program clock: fed the PCRs of the
// packets handed out, it tells whether the input runs ahead of the clock.
// A discontinuity (signalled, or a jump it recognises) re-anchors it so the
// input goes on at its own pace, neither stalled nor released in a burst.
// Used only by the thread that calls GetOnePacket.
class CPcrPacer
{
public:
    explicit CPcrPacer(os::IClock& clock = os::CMonotonicClock::Instance()) : m_pClock(&clock) {}
    void SetClock(os::IClock& clock) { m_pClock = &clock; }

    void InputPcr(int64_t nPcr, bool bDiscontinuity = false);
    bool IsEarly();
    void InputPcrAndWait(int64_t nPcr);

    bool HasStarted() const { return m_bStarted; }
    int64_t GetPcrTime() const { return m_nPcrTime; }
    int64_t GetLastPcr() const { return m_nLastPcr; }
    // The clock time, in microseconds, from which IsEarly answers false
    // (until the next PCR); -1 before the first PCR.
    int64_t GetDueMicros() const
    {
        return m_bStarted ? os::ToMicros(m_start) + m_nPcrTime / 27 : -1;
    }

private:
    os::IClock* m_pClock;
    os::ClockReading m_start{0, 0}; // clock time of the first PCR
    bool m_bStarted = false;        // a PCR has been seen
    int64_t m_nLastPcr = -1;        // 27 MHz ticks
    int64_t m_nPcrTime = 0;         // clock time fed since the first PCR, 27 MHz ticks
    int64_t m_nLastStep = 0;        // last regular PCR step, 27 MHz ticks; 0 before one
};
