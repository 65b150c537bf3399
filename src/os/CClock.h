#pragma once

#include <cstdint>

namespace os {

// A clock reading as seconds and microseconds.
struct ClockReading
{
    int32_t nSeconds;
    int32_t nMicroseconds; // 0..999,999
};

// The time source of real-time pacing (the driver's pacer) and of the
// input clocks. Production uses CMonotonicClock, so that a step of the wall
// clock neither stalls nor bursts the output; tests drive a CManualClock.
// Output time needs none: its driver writes as fast as the sink takes it.
class IClock
{
public:
    virtual ~IClock() = default;
    virtual ClockReading Now() = 0;
    // Waits nMs milliseconds of this clock's time.
    virtual void SleepMs(unsigned nMs) = 0;
    // Waits until the clock reads nMicros (an absolute time, so that the
    // time spent between two waits is not added to the next).
    virtual void SleepUntilMicros(int64_t nMicros);
};

// steady_clock since an arbitrary origin, microsecond resolution.
class CMonotonicClock final : public IClock
{
public:
    ClockReading Now() override;
    void SleepMs(unsigned nMs) override;
    void SleepUntilMicros(int64_t nMicros) override;
    // The process-wide instance; never destroyed.
    static CMonotonicClock& Instance();
};

// A clock that moves only when told, or by the amount a sleep asks for.
// Used from one thread at a time.
class CManualClock final : public IClock
{
public:
    explicit CManualClock(int64_t nStartMicros = 1'000'000) : m_nMicros(nStartMicros) {}
    ClockReading Now() override;
    void SleepMs(unsigned nMs) override
    {
        ++m_nSleeps;
        Advance(int64_t(nMs) * 1000);
    }
    void SleepUntilMicros(int64_t nMicros) override
    {
        ++m_nSleeps;
        m_nMicros = nMicros > m_nMicros ? nMicros : m_nMicros;
    }
    void Advance(int64_t nMicros) { m_nMicros += nMicros; }
    void Set(int64_t nMicros) { m_nMicros = nMicros; }
    int64_t Micros() const { return m_nMicros; }
    unsigned SleepCount() const { return m_nSleeps; }

private:
    int64_t m_nMicros; // current time, microseconds
    unsigned m_nSleeps = 0;
};

// Microseconds from a reading, for differences.
inline int64_t ToMicros(const ClockReading& r)
{
    return int64_t(r.nSeconds) * 1'000'000 + r.nMicroseconds;
}

inline ClockReading FromMicros(int64_t nMicros)
{
    return ClockReading{int32_t(nMicros / 1'000'000), int32_t(nMicros % 1'000'000)};
}

} // namespace os
