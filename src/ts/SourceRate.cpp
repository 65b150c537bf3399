#include "ts/SourceRate.h"

#include "braidmill.h"
#include "ts/CPcrStepRate.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <new>

namespace {

constexpr int kReadPackets = 20'480; // packets examined from the file start
// One read holds them at the largest packet step, and the sync search.
constexpr int kReadBytes = std::max(kReadPackets * kRsPacketSize, kSyncProbeBytes);
constexpr int64_t kMinPcrSpan = kPcrHz; // 27 MHz ticks of regular steps needed
constexpr int kReadStepBytes = 256 * 1024; // the estimate is looked at after each
constexpr int64_t kSettledParts = 10'000;  // a further stretch moves it by 0.01 % at most

// Reads the first nWant bytes of a file (fewer when it is shorter); false
// when it cannot be opened or read.
bool ReadFileStart(const char* path, int nWant, std::unique_ptr<unsigned char[]>& pBuffer,
                   int& nRead, bool& bEnd)
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
        bEnd = feof(pFile) != 0;
        bOk = ferror(pFile) == 0;
    }
    fclose(pFile);
    return bOk;
}

} // namespace

int EstimateTsBitRate(const unsigned char* pBuffer, int nLength, const CTsLayout& layout,
                      int nMaxPackets)
{
    if (pBuffer == nullptr || layout.nFirst < 0 || layout.nStep < kTsPacketSize) {
        return -1;
    }
    int nPcrPid = -1;
    CPcrStepRate rate;
    CTsPacket packet;
    int nIndex = 0;
    // Positions are counted whether or not their sync byte is there: a
    // position that has lost sync still stands for a packet of the stream.
    for (long long llPos = layout.nFirst; llPos + kTsPacketSize <= nLength && nIndex < nMaxPackets;
         llPos += layout.nStep, ++nIndex) {
        // The accessor only reads, so the cast loses nothing.
        if (!packet.SetData(const_cast<unsigned char*>(pBuffer + llPos)) || !packet.HasPcr()) {
            continue;
        }
        if (nPcrPid < 0) {
            nPcrPid = packet.GetPid();
        }
        if (packet.GetPid() == nPcrPid) {
            rate.AddPcr(nIndex, packet.GetPcr(), packet.GetDiscontinuityIndicator());
        }
    }
    int64_t nPackets = 0;
    int64_t nTicks = 0;
    rate.GetRegular(nPackets, nTicks);
    if (nTicks <= kMinPcrSpan) {
        return -1;
    }
    const int64_t nRate = nPackets * kTsPacketSize * 8 * kPcrHz / nTicks;
    return nRate > INT_MAX ? INT_MAX : int(nRate);
}

int EstimateTsBitRate(const unsigned char* pBuffer, int nLength)
{
    CTsLayout layout;
    if (pBuffer == nullptr || !FindTsLayout(pBuffer, nLength, true, layout)) {
        return -1;
    }
    return EstimateTsBitRate(pBuffer, nLength, layout);
}

int GetSourceRate(const char* path)
{
    if (path == nullptr) {
        return -1;
    }
    FILE* pFile = fopen(path, "rb");
    if (pFile == nullptr) {
        return -1;
    }
    std::unique_ptr<unsigned char[]> pBuffer(new (std::nothrow) unsigned char[size_t(kReadBytes)]);
    // Read a stretch at a time, only as far as the estimate needs: it is
    // taken once a further stretch no longer moves it.
    int nRead = 0;
    int nEstimate = -1;
    bool bEnd = false;
    CTsLayout layout;
    bool bLayout = false;
    while (pBuffer != nullptr && nRead < kReadBytes && !bEnd) {
        const int nWant = std::min(kReadStepBytes, kReadBytes - nRead);
        const int nGot = int(fread(pBuffer.get() + nRead, 1, size_t(nWant), pFile));
        nRead += nGot;
        bEnd = feof(pFile) != 0;
        if (ferror(pFile) != 0) {
            nEstimate = -1;
            break;
        }
        if (!bLayout && nRead < kSyncProbeBytes && !bEnd) {
            continue; // the packet search wants its whole window
        }
        if (!bLayout) {
            bLayout = FindTsLayout(pBuffer.get(), nRead, bEnd, layout);
            if (!bLayout) {
                break;
            }
        }
        const int nNow = EstimateTsBitRate(pBuffer.get(), nRead, layout, kReadPackets);
        const bool bSettled = nNow > 0 && nEstimate > 0 &&
                              std::llabs(int64_t(nNow) - nEstimate) * kSettledParts <= nNow;
        nEstimate = nNow;
        if (bSettled) {
            break;
        }
    }
    fclose(pFile);
    return nEstimate;
}

int GetSourcePacketSize(const char* path)
{
    std::unique_ptr<unsigned char[]> pBuffer;
    int nRead = 0;
    bool bEnd = false;
    if (!ReadFileStart(path, kSyncProbeBytes, pBuffer, nRead, bEnd)) {
        return -1;
    }
    CTsLayout layout;
    return FindTsLayout(pBuffer.get(), nRead, bEnd, layout) ? layout.nStep : -1;
}
