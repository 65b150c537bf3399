// ScanSourceRate: the file's first bytes as GetSourceRate reads them, and a
// longer stretch only where they give no estimate.
#include "braidmill.h"

#include "ts/CPcrRateMeter.h"
#include "ts/CTsFileWalk.h"
#include "ts/SourceRate.h"

#include <climits>
#include <cmath>
#include <cstdio>

namespace {

using EResult = BraidmillRateScan::EResult;

// Enough for a stable figure; a long recording need not be read to its end.
constexpr double kEnoughPcrSeconds = 60.0;
// Past the first bytes the estimate is settled once this much PCR time is
// measured and a further read moves it by no more than kSettledShare.
constexpr double kSettleSeconds = 2.0;
constexpr double kSettledShare = 1e-4;

double Seconds(int64_t nTicks)
{
    return double(nTicks) / double(kPcrHz);
}

double BitRate(int64_t nPackets, int64_t nTicks)
{
    return nTicks > 0 ? double(nPackets) * kTsPacketSize * 8 * double(kPcrHz) / double(nTicks) : -1;
}

// After each read: true while the first PID's estimate is not settled.
class CSettleCheck
{
public:
    explicit CSettleCheck(const CPcrRateMeter& meter) : m_meter(meter) {}

    bool operator()()
    {
        int64_t nPackets = 0;
        int64_t nTicks = 0;
        m_meter.GetRegular(m_meter.GetFirstPid(), nPackets, nTicks);
        const double fRate = BitRate(nPackets, nTicks);
        const double fSeconds = Seconds(nTicks);
        const bool bSettled =
            fSeconds >= kEnoughPcrSeconds ||
            (fSeconds >= kSettleSeconds && std::abs(fRate - m_fLastRate) <= fRate * kSettledShare);
        m_fLastRate = fRate;
        return !bSettled;
    }

private:
    const CPcrRateMeter& m_meter;
    double m_fLastRate = -1;
};

EResult ResultOf(CTsFileWalk::EResult result)
{
    switch (result) {
    case CTsFileWalk::EResult::kOk:
        return EResult::kOk;
    case CTsFileWalk::EResult::kCannotOpen:
        return EResult::kCannotOpen;
    case CTsFileWalk::EResult::kReadError:
        return EResult::kReadError;
    case CTsFileWalk::EResult::kEmpty:
        return EResult::kEmpty;
    case CTsFileWalk::EResult::kNoPackets:
        return EResult::kNotTransportStream;
    }
    return EResult::kReadError;
}

// The regular steps of the first PID with PCRs or, where it has none, of
// the PID whose steps span longest.
void TakeLongerStretch(const CPcrRateMeter& meter, BraidmillRateScan& scan)
{
    int64_t nPackets = 0;
    int64_t nTicks = 0;
    int nPid = meter.GetFirstPid();
    meter.GetRegular(nPid, nPackets, nTicks);
    if (nTicks <= 0) {
        nPid = meter.FindLongestPid();
        meter.GetRegular(nPid, nPackets, nTicks);
    }
    const double fRate = BitRate(nPackets, nTicks);
    if (nPid < 0 || !(fRate >= 1.0 && fRate < 2.0e9)) {
        scan.result = EResult::kNoUsablePcr;
        return;
    }
    scan.result = EResult::kOk;
    scan.nBitRate = int(fRate);
    scan.fSeconds = Seconds(nTicks);
    scan.nPcrPid = nPid;
}

} // namespace

void ScanSourceRate(const char* path, BraidmillRateScan& scan)
{
    scan = BraidmillRateScan{};
    CTsFileWalk walk;
    scan.result = ResultOf(walk.Open(path));
    scan.llBytesRead = walk.GetBytesRead();
    scan.nErrno = walk.GetErrno();
    if (scan.result == EResult::kNotTransportStream) {
        std::snprintf(scan.szNoPackets, sizeof scan.szNoPackets, "%s", walk.GetNoPackets().c_str());
    }
    if (scan.result != EResult::kOk) {
        return;
    }
    scan.nPacketSize = walk.GetLayout().nStep;

    const bool bRead = EstimateWindowRate(walk, scan.nBitRate, &scan.nPcrPid, &scan.fSeconds);
    scan.llBytesRead = walk.GetBytesRead();
    if (bRead && scan.nBitRate > 0) {
        scan.bFromStart = true;
        return;
    }
    CPcrRateMeter meter(walk.GetLayout(), true);
    const CTsFileWalk::EResult result =
        bRead ? walk.Walk(LLONG_MAX, meter, CSettleCheck(meter)) : CTsFileWalk::EResult::kReadError;
    scan.llBytesRead = walk.GetBytesRead();
    if (result != CTsFileWalk::EResult::kOk) {
        scan.result = EResult::kReadError;
        scan.nErrno = walk.GetErrno();
        return;
    }
    TakeLongerStretch(meter, scan);
}
