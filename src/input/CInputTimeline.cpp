#include "input/CInputTimeline.h"

#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <cmath>

namespace {

// Used when neither PCRs nor the client give a rate: an input is never
// released as fast as it is read.
constexpr int64_t kDefaultBitRate = 2'000'000;

double TicksPerPacketAt(int64_t nBitsPerSecond)
{
    return double(kTsPacketSize * 8) * double(kPcrHz) / double(nBitsPerSecond);
}

} // namespace

void CInputTimeline::SetFallbackBitRate(int64_t nBitsPerSecond)
{
    if (nBitsPerSecond > 0) {
        m_fFallbackTicks = TicksPerPacketAt(nBitsPerSecond);
    }
}

double CInputTimeline::TicksPerPacket() const
{
    if (m_fTicksPerPacket > 0.0) {
        return m_fTicksPerPacket;
    }
    return m_fFallbackTicks > 0.0 ? m_fFallbackTicks : TicksPerPacketAt(kDefaultBitRate);
}

void CInputTimeline::AnchorAt(int64_t nPos)
{
    m_nPrevPos = -1;
    m_nPos = nPos;
    m_nTime = 0;
    m_nPcr = -1;
}

int64_t CInputTimeline::AddPcr(int64_t nPos, int64_t nPcr, bool bNewBase)
{
    if (m_nPos < 0) {
        m_nPos = nPos;
        m_nTime = 0;
        m_nPcr = nPcr;
        m_nSpanPos = nPos;
        m_nSpanTime = 0;
        return 0;
    }
    int64_t nTime = 0;
    const int64_t nSteps = nPos - m_nPos;
    const bool bContinues = !bNewBase && m_nPcr >= 0 && nSteps > 0;
    if (bContinues) {
        const int64_t nDelta = PcrForwardDelta(m_nPcr, nPcr);
        nTime = m_nTime + nDelta;
        m_fTicksPerPacket = double(nDelta) / double(nSteps);
        NoteSpan(nPos, nTime);
    } else {
        // A new time base: the time goes on at the rate it had, so the
        // input neither stalls nor bursts across the jump.
        nTime = Extrapolate(nPos);
        m_nSpanPos = nPos;
        m_nSpanTime = nTime;
    }
    m_nPrevPos = m_nPos;
    m_nPrevTime = m_nTime;
    m_nPos = nPos;
    m_nTime = nTime;
    m_nPcr = nPcr;
    return nTime;
}

void CInputTimeline::NoteSpan(int64_t nPos, int64_t nTime)
{
    const int64_t nTicks = nTime - m_nSpanTime;
    if (m_nSpanPos < 0 || nTicks <= m_nBestSpanTicks || nPos <= m_nSpanPos) {
        return;
    }
    m_nBestSpanTicks = nTicks;
    m_nSpanRate = int64_t(std::llround(double(nPos - m_nSpanPos) * double(kTsPacketSize * 8) *
                                       double(kPcrHz) / double(nTicks)));
}

int64_t CInputTimeline::TimeBetween(int64_t nPos) const
{
    if (m_nPrevPos < 0 || m_nPos <= m_nPrevPos) {
        return Extrapolate(nPos);
    }
    const double fSlope = double(m_nTime - m_nPrevTime) / double(m_nPos - m_nPrevPos);
    return m_nPrevTime + int64_t(std::llround(double(nPos - m_nPrevPos) * fSlope));
}

int64_t CInputTimeline::Extrapolate(int64_t nPos) const
{
    if (m_nPos < 0) {
        return 0;
    }
    return m_nTime + int64_t(std::llround(double(nPos - m_nPos) * TicksPerPacket()));
}

int64_t CInputTimeline::GetBitRate() const
{
    if (!(m_fTicksPerPacket > 0.0)) {
        return -1;
    }
    return int64_t(std::llround(double(kTsPacketSize * 8) * double(kPcrHz) / m_fTicksPerPacket));
}

int64_t CInputTimeline::PcrAt(int64_t nTime) const
{
    if (m_nPcr < 0) {
        return -1;
    }
    return PcrAdd(m_nPcr, nTime - m_nTime);
}
