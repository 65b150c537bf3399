#include "ts/SourceRate.h"

#include "braidmill.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <climits>
#include <cstdio>
#include <new>

namespace {

constexpr int kReadPackets = 20'480;
constexpr int kReadBytes = kReadPackets * kTsPacketSize; // one read from the file start
constexpr int64_t kMaxPcrStep = kPcrHz / 2;              // 27 MHz ticks between PCRs
constexpr int64_t kMinPcrSpan = kPcrHz;                  // 27 MHz ticks, first to last PCR

} // namespace

int EstimateTsBitRate(const unsigned char* pBuffer, int nLength)
{
    if (pBuffer == nullptr) {
        return -1;
    }
    int nPcrPid = -1;
    int nCount = 0;
    int nCountAtLast = 0;
    int64_t nFirstPcr = -1;
    int64_t nLastPcr = -1;
    CTsPacket packet;
    for (int nPos = 0; nLength - nPos >= kTsPacketSize; nPos += kTsPacketSize) {
        ++nCount;
        // A position that has lost sync still stands for 188 bytes of the
        // stream, so it counts towards the rate; it is just not looked into.
        // The accessor only reads, so the cast loses nothing.
        if (!packet.SetData(const_cast<unsigned char*>(pBuffer + nPos))) {
            continue;
        }
        const int nPid = packet.GetPid();
        const bool bPcr = packet.HasPcr();
        if (nPcrPid < 0 && bPcr) {
            nPcrPid = nPid;
        }
        if (nPid != nPcrPid || !bPcr) {
            continue;
        }
        const int64_t nPcr = packet.GetPcr();
        if (nFirstPcr < 0) {
            nFirstPcr = nPcr;
            nCount = 1;
        }
        // 0 is a valid PCR: every step after the first PCR is checked.
        if (nLastPcr >= 0) {
            const int64_t nDelta = nPcr - nLastPcr;
            if (nDelta > kMaxPcrStep || nDelta < 0) {
                return -1;
            }
        }
        nLastPcr = nPcr;
        nCountAtLast = nCount;
    }
    if (nFirstPcr < 0 || nLastPcr < 0) {
        return -1;
    }
    const int64_t nSpan = nLastPcr - nFirstPcr;
    if (nSpan <= kMinPcrSpan) {
        return -1;
    }
    const int64_t nRate = int64_t(nCountAtLast) * kTsPacketSize * 8 * kPcrHz / nSpan;
    return nRate > INT_MAX ? INT_MAX : int(nRate);
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
    unsigned char* pBuffer = new (std::nothrow) unsigned char[kReadBytes];
    if (pBuffer == nullptr) {
        fclose(pFile);
        return -1;
    }
    const size_t nRead = fread(pBuffer, 1, kReadBytes, pFile);
    const int nRate = EstimateTsBitRate(pBuffer, int(nRead));
    fclose(pFile);
    delete[] pBuffer;
    return nRate;
}
