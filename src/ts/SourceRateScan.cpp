// ScanSourceRate: the file's first bytes as GetSourceRate reads them, and a
// longer stretch only where they give no estimate.
#include "braidmill.h"

#include "ts/CPcrRateMeter.h"
#include "ts/CTsWalker.h"
#include "ts/SourceRate.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

using EResult = BraidmillRateScan::EResult;

// Enough for a stable figure; a long recording need not be read to its end.
constexpr double kEnoughPcrSeconds = 60.0;
// Past the first bytes the estimate is settled once this much PCR time is
// measured and a further read moves it by no more than kSettledShare.
constexpr double kSettleSeconds = 2.0;
constexpr double kSettledShare = 1e-4;

struct CFileCloser
{
    void operator()(FILE* pFile) const { fclose(pFile); }
};

double Seconds(int64_t nTicks)
{
    return double(nTicks) / double(kPcrHz);
}

double BitRate(int64_t nPackets, int64_t nTicks)
{
    return nTicks > 0 ? double(nPackets) * kTsPacketSize * 8 * double(kPcrHz) / double(nTicks) : -1;
}

// Walks the rest of the file after the nHave bytes in pBuffer (its start):
// true once the first PID's estimate is settled or the file has ended.
bool WalkOn(FILE* pFile, unsigned char* pBuffer, int nHave, bool bEnd, CTsWalker& walker,
            CPcrRateMeter& meter, BraidmillRateScan& scan)
{
    double fLastRate = -1;
    for (;;) {
        const int nKeep = walker.Walk(pBuffer, nHave, bEnd, meter);
        if (bEnd) {
            return true;
        }
        int64_t nPackets = 0;
        int64_t nTicks = 0;
        meter.GetRegular(meter.GetFirstPid(), nPackets, nTicks);
        const double fRate = BitRate(nPackets, nTicks);
        const double fSeconds = Seconds(nTicks);
        if (fSeconds >= kEnoughPcrSeconds ||
            (fSeconds >= kSettleSeconds && std::abs(fRate - fLastRate) <= fRate * kSettledShare)) {
            return true;
        }
        fLastRate = fRate;
        std::memmove(pBuffer, pBuffer + nHave - nKeep, size_t(nKeep));
        const size_t nRead = fread(pBuffer + nKeep, 1, size_t(kRateWindowBytes - nKeep), pFile);
        scan.llBytesRead += (long long)nRead;
        if (ferror(pFile) != 0) {
            return false;
        }
        nHave = nKeep + int(nRead);
        bEnd = feof(pFile) != 0;
    }
}

} // namespace

void ScanSourceRate(const char* path, BraidmillRateScan& scan)
{
    scan = BraidmillRateScan{};
    errno = 0;
    std::unique_ptr<FILE, CFileCloser> pFile(path != nullptr ? fopen(path, "rb") : nullptr);
    if (!pFile) {
        scan.nErrno = path != nullptr ? errno : EINVAL;
        return;
    }
    std::unique_ptr<unsigned char[]> pBuffer(
        new (std::nothrow) unsigned char[size_t(kRateWindowBytes)]);
    if (!pBuffer) {
        scan.result = EResult::kReadError;
        scan.nErrno = ENOMEM;
        return;
    }
    const int nRead = int(fread(pBuffer.get(), 1, size_t(kRateWindowBytes), pFile.get()));
    scan.llBytesRead = nRead;
    const bool bEnd = feof(pFile.get()) != 0;
    if (ferror(pFile.get()) != 0) {
        scan.result = EResult::kReadError;
        scan.nErrno = errno;
        return;
    }
    if (nRead == 0) {
        scan.result = EResult::kEmpty;
        return;
    }
    CTsWalker walker;
    if (!walker.Start(pBuffer.get(), nRead, bEnd)) {
        scan.result = EResult::kNotTransportStream;
        std::snprintf(scan.szNoPackets, sizeof scan.szNoPackets, "%s",
                      DescribeNoPackets(pBuffer.get(), nRead).c_str());
        return;
    }
    scan.nPacketSize = walker.GetLayout().nStep;

    scan.nBitRate = EstimateTsBitRate(pBuffer.get(), nRead, &scan.nPcrPid, &scan.fSeconds);
    if (scan.nBitRate > 0) {
        scan.result = EResult::kOk;
        scan.bFromStart = true;
        return;
    }

    // The same bytes again, this time as the start of a longer stretch.
    walker.Restart();
    CPcrRateMeter meter(walker.GetLayout(), true);
    if (!WalkOn(pFile.get(), pBuffer.get(), nRead, bEnd, walker, meter, scan)) {
        scan.result = EResult::kReadError;
        scan.nErrno = errno;
        return;
    }
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
