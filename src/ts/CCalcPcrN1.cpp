#include "ts/CCalcPcrN1.h"

#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <cmath>

namespace {

// Bytes-times-ticks of one packet: its distance in ticks is this over the rate.
constexpr int64_t kPacketByteTicks = int64_t(kTsPacketSize) * kPcrHz;
// Largest left shift of kPacketByteTicks (below 2^33) that stays inside int128.
constexpr int kMaxStepShift = 93;
// int64 range as doubles, for a conversion that must not overflow.
constexpr double kInt64Limit = 9223372036854775808.0;

} // namespace

void CCalcPcrN1::SetRate(double fBytesPerSecond)
{
    m_bRateGiven = true;
    m_fRate = fBytesPerSecond;
    m_nStepWhole = 0;
    m_nStepNum = 0;
    m_nStepDen = 0;
    if (!(fBytesPerSecond > 0.0) || std::isinf(fBytesPerSecond)) {
        return;
    }
    // A double is exactly nMant * 2^nExp, so ticks per packet is the exact
    // fraction kPacketByteTicks * 2^-nExp / nMant (or / (nMant << nExp)).
    int nExp = 0;
    const double fMant = std::frexp(fBytesPerSecond, &nExp);
    int64_t nMant = int64_t(std::ldexp(fMant, 53));
    nExp -= 53;
    while ((nMant & 1) == 0) {
        nMant >>= 1;
        ++nExp;
    }
    __int128 nNum = kPacketByteTicks;
    __int128 nDen = nMant;
    if (nExp >= 0) {
        if (nExp > 62 || (nDen << nExp) > INT64_MAX) {
            return; // beyond any real rate; the fallback handles it
        }
        nDen <<= nExp;
    } else {
        if (-nExp > kMaxStepShift) {
            return;
        }
        nNum <<= -nExp;
    }
    m_nStepWhole = int64_t((nNum / nDen) % kPcrModulo);
    m_nStepNum = int64_t(nNum % nDen);
    m_nStepDen = int64_t(nDen);
}

void CCalcPcrN1::InputPcr(int64_t nPcr)
{
    if (m_bRateGiven) {
        if (m_nLastPcr < 0) {
            if (nPcr >= 0) {
                m_nLastPcr = nPcr;
                m_nPackets = 1; // the reference packet has gone by
            }
            return;
        }
        // The reference stays; a value fed back is just this packet going by.
        ++m_nPackets;
        return;
    }

    if (m_nLastPcr < 0) {
        m_nLastPcr = nPcr < 0 ? -1 : nPcr;
        return;
    }
    if (nPcr < 0) {
        // A packet without a value while a reference exists: no rate can be
        // learnt from it, and the reference is gone.
        m_fRate = -1.0;
        m_nPackets = 1;
        m_nLastPcr = -1;
        return;
    }
    m_fRate = double(m_nPackets * kTsPacketSize) * double(kPcrHz) / double(nPcr - m_nLastPcr);
    m_nPackets = 1;
    m_nLastPcr = nPcr;
}

void CCalcPcrN1::AddPacket()
{
    if (m_nLastPcr >= 0) {
        ++m_nPackets;
    }
}

void CCalcPcrN1::RestartAt(int64_t nPcr)
{
    if (nPcr < 0) {
        m_nLastPcr = -1;
        m_nPackets = 0;
        return;
    }
    m_nLastPcr = nPcr;
    m_nPackets = 1;
}

int64_t CCalcPcrN1::GetCurrentPcr() const
{
    return m_bRateGiven ? GetGivenRatePcr() : GetLearntRatePcr();
}

int64_t CCalcPcrN1::GetGivenRatePcr() const
{
    if (m_nLastPcr < 0 || !(m_fRate > 0.0)) {
        return -1;
    }
    if (std::isinf(m_fRate)) {
        return PcrWrap(m_nLastPcr);
    }
    int64_t nTicks = 0;
    if (m_nStepDen > 0) {
        // distance = count * (whole + num / den); only the wrapped value is
        // needed, and the fractional part sums to at most count ticks.
        const __int128 nCount = m_nPackets;
        const int64_t nWhole = int64_t((nCount % kPcrModulo) * m_nStepWhole % kPcrModulo);
        const int64_t nFrac = int64_t(nCount * m_nStepNum / m_nStepDen);
        nTicks = PcrAdd(nWhole, nFrac);
    } else {
        const long double fTicks = std::fmod(
            (long double)m_nPackets * (long double)kPacketByteTicks / (long double)m_fRate,
            (long double)kPcrModulo);
        if (!std::isfinite(fTicks)) {
            return -1;
        }
        nTicks = int64_t(fTicks);
    }
    return PcrAdd(m_nLastPcr, nTicks);
}

int64_t CCalcPcrN1::GetLearntRatePcr() const
{
    if (m_fRate < 0.0 || m_nLastPcr < 0) {
        return -1;
    }
    // The count times the packet's byte-ticks, rounded once to double as the
    // 64-bit product would be, but without its overflow on a long gap.
    const double fPcr =
        double(m_nPackets) * double(kPacketByteTicks) / m_fRate + double(m_nLastPcr);
    // A rate of 0 or NaN gives no meaningful estimate, and converting a value
    // outside int64 is undefined.
    if (!std::isfinite(fPcr) || fPcr >= kInt64Limit || fPcr < -kInt64Limit) {
        return -1;
    }
    return int64_t(fPcr);
}
