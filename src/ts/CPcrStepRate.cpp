#include "ts/CPcrStepRate.h"

#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cmath>

namespace {

// PCRs come at least every 100 ms; a step over half a second is a jump.
constexpr int64_t kMaxStepTicks = kPcrHz / 2;
// How far a step's clock time per packet may stray from the median step's:
// kSpreadMads median absolute deviations, so that a stream carrying one
// program of a multiplex (packets per step vary) keeps its steps, but at
// least kMinSpread of the median, which is all a constant-rate stream needs:
// its steps agree to PCR jitter.
constexpr double kSpreadMads = 5.0;
constexpr double kMinSpread = 0.01;

double Median(std::vector<double>& v)
{
    auto itMid = v.begin() + std::ptrdiff_t(v.size() / 2);
    std::nth_element(v.begin(), itMid, v.end());
    return *itMid;
}

} // namespace

void CPcrStepRate::AddPcr(int64_t nPacket, int64_t nPcr, bool bDiscontinuity)
{
    if (m_nLastPcr >= 0 && !bDiscontinuity && nPacket > m_nLastPacket) {
        // Forward across the wrap; a step backwards reads as almost a whole wrap.
        const int64_t nTicks = PcrForwardDelta(m_nLastPcr, nPcr);
        if (nTicks > 0 && nTicks <= kMaxStepTicks) {
            m_vSteps.push_back(CStep{nPacket - m_nLastPacket, nTicks});
        }
    }
    m_nLastPcr = nPcr;
    m_nLastPacket = nPacket;
}

void CPcrStepRate::GetRegular(int64_t& nPackets, int64_t& nTicks) const
{
    nPackets = 0;
    nTicks = 0;
    if (m_vSteps.empty()) {
        return;
    }
    std::vector<double> vPerPacket;
    vPerPacket.reserve(m_vSteps.size());
    for (const CStep& step : m_vSteps) {
        vPerPacket.push_back(double(step.nTicks) / double(step.nPackets));
    }
    const double fMedian = Median(vPerPacket);
    for (double& fValue : vPerPacket) {
        fValue = std::fabs(fValue - fMedian);
    }
    const double fSpread = std::max(kSpreadMads * Median(vPerPacket), kMinSpread * fMedian);
    for (const CStep& step : m_vSteps) {
        const double fPerPacket = double(step.nTicks) / double(step.nPackets);
        if (std::fabs(fPerPacket - fMedian) <= fSpread) {
            nPackets += step.nPackets;
            nTicks += step.nTicks;
        }
    }
}
