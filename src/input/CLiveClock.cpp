#include "input/CLiveClock.h"

#include "ts/TsConstants.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int64_t kTicksPerMicro = kPcrHz / 1'000'000;
// One minimum per window of sender time: longer than a burst of jitter,
// short enough to follow the offset.
constexpr int64_t kWindowTicks = kPcrHz;
// Windows the drift is fitted over: at 50 ppm, 30 s is 1.5 ms of drift
// against sub-millisecond jitter in the minima.
constexpr size_t kFitWindows = 30;
// No arrival for this long: the sender stopped; its clock is found again.
constexpr int64_t kGapMicros = 1'000'000;
// Share of the distance to the fitted line closed per window: about 10 s to
// settle, so one odd window moves the map by a fifth of its error.
constexpr double kPullPerWindow = 0.2;
// A drift past this is no clock but a sender that skips or bursts.
constexpr double kMaxDrift = 500e-6;

} // namespace

void CLiveClock::Anchor(int64_t nTime, int64_t nArrivalMicros)
{
    m_bAnchored = true;
    ++m_nAnchors;
    // The drift found so far is the sender's, and stays.
    m_nTime = nTime;
    m_fLocal = double(nArrivalMicros);
    m_nBaseTime = nTime;
    m_nBaseMicros = nArrivalMicros;
    m_nWindowStart = nTime;
    m_bWindowOpen = false;
    m_vMins.clear();
}

void CLiveClock::AddSample(int64_t nTime, int64_t nArrivalMicros, bool bNewBase)
{
    const bool bGap = m_bAnchored && nArrivalMicros - m_nLastArrival > kGapMicros;
    m_nLastArrival = nArrivalMicros;
    if (!m_bAnchored || bNewBase || bGap || nTime < m_nBaseTime) {
        Anchor(nTime, nArrivalMicros);
    }
    if (nTime - m_nWindowStart >= kWindowTicks && m_bWindowOpen) {
        CloseWindow();
        m_nWindowStart = nTime;
    }
    const double fAt = double(nTime - m_nBaseTime) / double(kTicksPerMicro);
    const double fDelta = double(nArrivalMicros - m_nBaseMicros) - fAt;
    if (!m_bWindowOpen || fDelta < m_windowMin.fDelta) {
        m_windowMin = CWindowMin{fAt, fDelta};
        m_bWindowOpen = true;
    }
}

void CLiveClock::CloseWindow()
{
    m_vMins.push_back(m_windowMin);
    m_bWindowOpen = false;
    if (m_vMins.size() > kFitWindows) {
        m_vMins.pop_front();
    }
    // The line under the minima: least squares over the windows kept.
    const double fCount = double(m_vMins.size());
    double fSumX = 0;
    double fSumY = 0;
    for (const CWindowMin& w : m_vMins) {
        fSumX += w.fAt;
        fSumY += w.fDelta;
    }
    const double fMeanX = fSumX / fCount;
    const double fMeanY = fSumY / fCount;
    double fSlope = m_fRate - 1.0;
    if (m_vMins.size() >= 3) {
        double fSxx = 0;
        double fSxy = 0;
        for (const CWindowMin& w : m_vMins) {
            fSxx += (w.fAt - fMeanX) * (w.fAt - fMeanX);
            fSxy += (w.fAt - fMeanX) * (w.fDelta - fMeanY);
        }
        if (fSxx > 0) {
            fSlope = std::clamp(fSxy / fSxx, -kMaxDrift, kMaxDrift);
        }
    }
    // Where the fitted line puts the newest minimum, and where the map does.
    const CWindowMin& last = m_vMins.back();
    const int64_t nLastTime = m_nBaseTime + int64_t(std::llround(last.fAt * kTicksPerMicro));
    const double fFitted =
        double(m_nBaseMicros) + last.fAt + fMeanY + (last.fAt - fMeanX) * fSlope;
    const double fMapped = double(LocalMicros(nLastTime));
    // Re-based at that point, so the map stays continuous.
    m_fLocal = fMapped + kPullPerWindow * (fFitted - fMapped);
    m_nTime = nLastTime;
    m_fRate = 1.0 + fSlope;
}

int64_t CLiveClock::LocalMicros(int64_t nTime) const
{
    const double fSender = double(nTime - m_nTime) / double(kTicksPerMicro);
    return int64_t(std::llround(m_fLocal + fSender * m_fRate));
}
