#include "ts/SourceRate.h"

#include "braidmill.h"
#include "ts/CPcrRateMeter.h"
#include "ts/CTsWalker.h"

#include <climits>
#include <cstdio>
#include <memory>
#include <new>

namespace {

constexpr int64_t kMinPcrSpan = kPcrHz; // 27 MHz ticks of regular steps needed

// Reads the first nWant bytes of a file (fewer when it is shorter); false
// when it cannot be opened or read.
bool ReadFileStart(const char* path, int nWant, std::unique_ptr<unsigned char[]>& pBuffer,
                   int& nRead)
{
    if (path == nullptr) {
        return false;
    }
    FILE* pFile = fopen(path, "rb");
    if (pFile == nullptr) {
        return false;
    }
    pBuffer.reset(new (std::nothrow) unsigned char[size_t(nWant)]);
    bool bOk = pBuffer != nullptr;
    if (bOk) {
        nRead = int(fread(pBuffer.get(), 1, size_t(nWant), pFile));
        bOk = ferror(pFile) == 0;
    }
    fclose(pFile);
    return bOk;
}

} // namespace

int EstimateTsBitRate(const unsigned char* pBuffer, int nLength, int* pPcrPid, double* pSeconds)
{
    CTsWalker walker;
    if (pBuffer == nullptr || nLength <= 0 || !walker.Start(pBuffer, nLength, true)) {
        return -1;
    }
    CPcrRateMeter meter(walker.GetLayout(), false);
    // The meter only reads, so the cast loses nothing.
    walker.Walk(const_cast<unsigned char*>(pBuffer), nLength, true, meter);
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

int GetSourceRate(const char* path)
{
    std::unique_ptr<unsigned char[]> pBuffer;
    int nRead = 0;
    if (!ReadFileStart(path, kRateWindowBytes, pBuffer, nRead)) {
        return -1;
    }
    return EstimateTsBitRate(pBuffer.get(), nRead);
}

int GetSourcePacketSize(const char* path)
{
    std::unique_ptr<unsigned char[]> pBuffer;
    int nRead = 0;
    if (!ReadFileStart(path, kSyncProbeBytes, pBuffer, nRead)) {
        return -1;
    }
    // Fewer bytes than asked for: the file ends in them.
    CTsWalker walker;
    return walker.Start(pBuffer.get(), nRead, true) ? walker.GetLayout().nStep : -1;
}
