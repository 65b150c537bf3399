#pragma once

#include "os/CClock.h"

#include <cstdint>

// Paces the output thread at a constant bit rate: tells how many bytes are
// due now and sleeps in 10 ms steps while the output is ahead. Used by the
// output thread alone (SetBitRate by the client before Run).
class CBytePacer
{
public:
    explicit CBytePacer(os::IClock& clock = os::CMonotonicClock::Instance()) : m_pClock(&clock) {}
    void SetClock(os::IClock& clock) { m_pClock = &clock; }

    void SetBitRate(float fMbps);   // units of 1,048,576 bit/s
    void Start();
    bool Wait();                    // always true
    int GetDueBytes();              // a multiple of 188
    void AddSentBytes(int nBytes);

    double GetTargetRate() const { return m_fTargetRate; } // bit/s
    int64_t GetSentBytes() const { return m_nSentBytes; }

private:
    os::IClock* m_pClock;
    double m_fTargetRate = 0.0;       // bit/s
    os::ClockReading m_start{0, 0};   // set by Start
    int64_t m_nSentBytes = 0;         // total reported by AddSentBytes
};
