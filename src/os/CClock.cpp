#include "os/CClock.h"

#include "os/Sleep.h"

#include <chrono>

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
