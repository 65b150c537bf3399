#include "ts/SourceRate.h"

#include "braidmill.h"
#include "ts/CPcrStepRate.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

namespace {

constexpr int kReadPackets = 20'480; // packets examined from the file start
// One read holds them at the largest packet step, and the sync search.
constexpr int kReadBytes = std::max(kReadPackets * kRsPacketSize, kSyncProbeBytes);
constexpr int64_t kMinPcrSpan = kPcrHz; // 27 MHz ticks of regular steps needed

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
    std::unique_ptr<unsigned char[]> pBuffer;
    int nRead = 0;
    bool bEnd = false;
    if (!ReadFileStart(path, kReadBytes, pBuffer, nRead, bEnd)) {
        return -1;
    }
    CTsLayout layout;
    if (!FindTsLayout(pBuffer.get(), nRead, bEnd, layout)) {
        return -1;
    }
    return EstimateTsBitRate(pBuffer.get(), nRead, layout, kReadPackets);
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
