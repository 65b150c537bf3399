#include "ts/SourceRate.h"

#include "braidmill.h"
#include "ts/CPcrRateMeter.h"
#include "ts/CTsFileWalk.h"
#include "ts/CTsWalker.h"

#include <climits>

namespace {

constexpr int64_t kMinPcrSpan = kPcrHz; // 27 MHz ticks of regular steps needed

int RateOf(const CPcrRateMeter& meter, int* pPcrPid, double* pSeconds)
{
    int64_t nPackets = 0;
    int64_t nTicks = 0;
    meter.GetRegular(meter.GetFirstPid(), nPackets, nTicks);
    if (nTicks <= kMinPcrSpan) {
        return -1;
    }
    if (pPcrPid != nullptr) {
        *pPcrPid = meter.GetFirstPid();
    }
    if (pSeconds != nullptr) {
        *pSeconds = double(nTicks) / double(kPcrHz);
    }
    const int64_t nRate = nPackets * kTsPacketSize * 8 * kPcrHz / nTicks;
    return nRate > INT_MAX ? INT_MAX : int(nRate);
}

} // namespace

int EstimateTsBitRate(const unsigned char* pBuffer, int nLength)
{
    CTsWalker walker;
    if (pBuffer == nullptr || nLength <= 0 || !walker.Start(pBuffer, nLength, true)) {
        return -1;
    }
    CPcrRateMeter meter(walker.GetLayout(), false);
    // The meter only reads, so the cast loses nothing.
    walker.Walk(const_cast<unsigned char*>(pBuffer), nLength, true, meter);
    return RateOf(meter, nullptr, nullptr);
}

bool EstimateWindowRate(CTsFileWalk& walk, int& nRate, int* pPcrPid, double* pSeconds)
{
    CPcrRateMeter meter(walk.GetLayout(), false);
    if (walk.Walk(kRateWindowBytes, meter) != CTsFileWalk::EResult::kOk) {
        nRate = -1;
        return false;
    }
    nRate = RateOf(meter, pPcrPid, pSeconds);
    return true;
}

int GetSourceRate(const char* path)
{
    CTsFileWalk walk;
    int nRate = -1;
    if (walk.Open(path) != CTsFileWalk::EResult::kOk || !EstimateWindowRate(walk, nRate)) {
        return -1;
    }
    return nRate;
}

int GetSourcePacketSize(const char* path)
{
    CTsFileWalk walk;
    return walk.Open(path) == CTsFileWalk::EResult::kOk ? walk.GetLayout().nStep : -1;
}
