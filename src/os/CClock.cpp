#include "os/CClock.h"

#include "os/Sleep.h"

#include <cerrno>
#include <chrono>
#include <ctime>

namespace os {

ClockReading CMonotonicClock::Now()
{
    using namespace std::chrono;
    // Offset by a second so that a reading is never all zero.
    const int64_t nMicros =
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count() + 1'000'000;
    return FromMicros(nMicros);
}

void CMonotonicClock::SleepMs(unsigned nMs)
{
    Sleep(nMs);
}

void CMonotonicClock::SleepUntilMicros(int64_t nMicros)
{
    // Now() reads steady_clock, which is CLOCK_MONOTONIC on Linux, offset
    // by a second.
    const int64_t nMono = nMicros - 1'000'000;
    if (nMono <= 0) {
        return;
    }
    timespec until{};
    until.tv_sec = time_t(nMono / 1'000'000);
    until.tv_nsec = long(nMono % 1'000'000) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void IClock::SleepUntilMicros(int64_t nMicros)
{
    const int64_t nLeft = nMicros - ToMicros(Now());
    if (nLeft > 0) {
        SleepMs(unsigned((nLeft + 999) / 1000));
    }
}

CMonotonicClock& CMonotonicClock::Instance()
{
    static CMonotonicClock* pClock = new CMonotonicClock;
    return *pClock;
}

ClockReading CManualClock::Now()
{
    return FromMicros(m_nMicros);
}

} // namespace os
