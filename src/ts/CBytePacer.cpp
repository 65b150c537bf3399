#include "ts/CBytePacer.h"

#include "ts/TsConstants.h"

#include <climits>
#include <cmath>

namespace {

// Largest byte count GetDueBytes can report in its int.
constexpr int64_t kMaxDueBytes = (INT_MAX / kTsPacketSize) * int64_t(kTsPacketSize);
// Above this rate (bit/s) the achieved-rate test no longer compares exactly
// in doubles; no real output comes near it.
constexpr double kMaxExactRate = 9007199254740992.0; // 2^53

// Whole milliseconds between two readings, as a millisecond clock would count them.
int64_t ElapsedMs(const os::ClockReading& start, const os::ClockReading& now)
{
    return (int64_t(now.nSeconds) - start.nSeconds) * 1000 + now.nMicroseconds / 1000 -
           start.nMicroseconds / 1000;
}

// The rate achieved by nBytes in nMs (> 0) milliseconds, bit/s. The division
// truncates before the multiplication, so it moves in steps of 1000 bit/s.
double AchievedRate(int64_t nBytes, int64_t nMs)
{
    return double((nBytes * 8 / nMs) * 1000);
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
        if (nMs <= 0 || !(m_fTargetRate < AchievedRate(m_nSentBytes, nMs))) {
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
    // The smallest packet count whose bytes B satisfy target <= A(B). A(B) is
    // 1000 * floor(8B / E), so that holds exactly when floor(8B / E) >= K,
    // the least integer with 1000 * K >= target, i.e. when 8B >= K * E.
    int64_t nK = int64_t(std::ceil(m_fTargetRate / 1000.0));
    while (double(nK * 1000) < m_fTargetRate) {
        ++nK;
    }
    while (nK > 0 && double((nK - 1) * 1000) >= m_fTargetRate) {
        --nK;
    }
    const __int128 nNeeded = (__int128(nK) * nMs + 7) / 8; // least such B
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
