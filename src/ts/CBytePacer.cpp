#include "ts/CBytePacer.h"

#include "ts/TsConstants.h"

#include <climits>
#include <cmath>

namespace {

// Largest byte count GetDueBytes can report in its int.
constexpr int64_t kMaxDueBytes = (INT_MAX / kTsPacketSize) * int64_t(kTsPacketSize);
// Above this rate (bit/s) the long double products are no longer exact; no
// real output comes near it.
constexpr double kMaxExactRate = 9007199254740992.0; // 2^53

// Whole milliseconds between two readings, as a millisecond clock would count them.
int64_t ElapsedMs(const os::ClockReading& start, const os::ClockReading& now)
{
    return (int64_t(now.nSeconds) - start.nSeconds) * 1000 + now.nMicroseconds / 1000 -
           start.nMicroseconds / 1000;
}

// Whether nBytes sent in nMs (> 0) milliseconds run ahead of fTarget bit/s.
// Exact: a rate measured in steps of 1000 bit/s would send the output up to
// 1000 bit/s faster than the rate its PCRs are stamped at, so decoders that
// follow the output's clock would drift from its real arrival (about 0.4 s
// an hour at 3 Mbit/s).
bool IsAhead(double fTarget, int64_t nBytes, int64_t nMs)
{
    return (long double)fTarget * nMs < (long double)nBytes * 8000;
}

} // namespace

void CBytePacer::SetBitRate(float fMbps)
{
    m_fTargetRate = double(fMbps) * 1024.0 * 1024.0;
}

void CBytePacer::Start()
{
    m_start = m_pClock->Now();
}

bool CBytePacer::Wait()
{
    for (;;) {
        const int64_t nMs = ElapsedMs(m_start, m_pClock->Now());
        if (nMs <= 0 || !IsAhead(m_fTargetRate, m_nSentBytes, nMs)) {
            return true;
        }
        m_pClock->SleepMs(kPacerPollMs);
    }
}

int CBytePacer::GetDueBytes()
{
    const int64_t nMs = ElapsedMs(m_start, m_pClock->Now());
    if (nMs <= 0 || !(m_fTargetRate > 0.0)) {
        return 0; // covers NaN: nothing is ever due
    }
    if (m_fTargetRate > kMaxExactRate) {
        return int(kMaxDueBytes);
    }
    // The least whole number of bytes that keeps up with the target:
    // 8000 * B >= target * E.
    const long double fNeeded = std::ceil((long double)m_fTargetRate * nMs / 8000);
    if (fNeeded > (long double)kMaxDueBytes + (long double)m_nSentBytes) {
        return int(kMaxDueBytes);
    }
    const __int128 nNeeded = __int128(fNeeded);
    const __int128 nShort = nNeeded - m_nSentBytes;
    if (nShort <= 0) {
        return 0;
    }
    const __int128 nDue = (nShort + kTsPacketSize - 1) / kTsPacketSize * kTsPacketSize;
    return nDue > kMaxDueBytes ? int(kMaxDueBytes) : int(nDue);
}

void CBytePacer::AddSentBytes(int nBytes)
{
    m_nSentBytes += nBytes;
}
