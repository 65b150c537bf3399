#include "CPcrRateScanner.h"

#include "ts/CPcrStepRate.h"
#include "ts/TsConstants.h"
#include "ts/TsSync.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Enough for a stable figure; a long recording need not be read to its end.
constexpr double kEnoughPcrSeconds = 60.0;
// The estimate is settled once this much PCR time is measured and a chunk
// more moves it by no more than kSettledShare.
constexpr double kSettleSeconds = 2.0;
constexpr double kSettledShare = 1e-4;
// One read: at least what the sync search needs.
constexpr int kChunkBytes = std::max(8192 * kTsPacketSize, kSyncProbeBytes);

} // namespace

CPcrRateScanner::Result CPcrRateScanner::Scan(const char* szPath)
{
    FILE* pFile = std::fopen(szPath, "rb");
    if (!pFile) {
        m_nErrno = errno;
        return Result::CannotOpen;
    }
    std::vector<CPcrStepRate> vRates(kPidCount);
    std::vector<unsigned char> vBuf(static_cast<size_t>(kChunkBytes));
    CTsLayout layout;
    int nHave = 0;      // bytes in vBuf
    int nPos = 0;       // offset in vBuf of the next packet's sync byte
    int nSkipAhead = 0; // bytes of the last packet's step not read yet
    int64_t nPacket = 0;
    int nFirstPid = -1; // the first PID seen with a PCR is measured, as the library does
    double fLastRate = -1;
    bool bReadError = false;
    m_llBytesRead = 0;
    for (;;) {
        const size_t nRead = std::fread(vBuf.data() + nHave, 1, vBuf.size() - size_t(nHave), pFile);
        const bool bEnd = nRead < vBuf.size() - size_t(nHave);
        bReadError = bEnd && std::ferror(pFile) != 0;
        m_llBytesRead += int64_t(nRead);
        nHave += int(nRead);
        if (bReadError || (m_llBytesRead == 0 && bEnd)) {
            break;
        }
        if (layout.nFirst < 0) {
            if (!FindTsLayout(vBuf.data(), nHave, bEnd, layout)) {
                m_sNoPackets = DescribeNoPackets(vBuf.data(), nHave);
                break;
            }
            m_nPacketSize = layout.nStep;
            nPos = layout.nFirst;
        }
        const int nSkip = std::min(nSkipAhead, nHave);
        nPos += nSkip;
        nSkipAhead -= nSkip;
        // A position that has lost sync still stands for a packet; a
        // trailing partial packet is never looked at.
        for (; nPos + kTsPacketSize <= nHave; nPos += layout.nStep, ++nPacket) {
            const unsigned char* p = &vBuf[size_t(nPos)];
            const bool bAdaptation = p[3] & 0x20;
            if (p[0] != kSyncByte || !bAdaptation || p[4] < 7 || !(p[5] & 0x10)) {
                continue;
            }
            const int nPid = ((p[1] & 0x1F) << 8) | p[2];
            const unsigned char* f = p + 6;
            const int64_t nBase = (int64_t(f[0]) << 25) | (int64_t(f[1]) << 17) |
                                  (int64_t(f[2]) << 9) | (int64_t(f[3]) << 1) | (f[4] >> 7);
            const int64_t nPcr = nBase * 300 + (((f[4] & 0x01) << 8) | f[5]);
            if (nFirstPid < 0) {
                nFirstPid = nPid;
            }
            vRates[size_t(nPid)].AddPcr(nPacket, nPcr, p[5] & kDiscontinuityIndicatorBit);
        }
        if (bEnd) {
            break;
        }
        if (nFirstPid >= 0) {
            int64_t nPackets = 0;
            int64_t nTicks = 0;
            vRates[size_t(nFirstPid)].GetRegular(nPackets, nTicks);
            const double fSeconds = double(nTicks) / double(kPcrHz);
            const double fRate = vRates[size_t(nFirstPid)].GetBitRate();
            if (fSeconds >= kEnoughPcrSeconds ||
                (fSeconds >= kSettleSeconds &&
                 std::fabs(fRate - fLastRate) <= fRate * kSettledShare)) {
                break;
            }
            fLastRate = fRate;
        }
        // What is left of the buffer moves to its start for the next read.
        if (nPos > nHave) {
            nSkipAhead = nPos - nHave;
            nPos = nHave;
        }
        std::memmove(vBuf.data(), vBuf.data() + nPos, size_t(nHave - nPos));
        nHave -= nPos;
        nPos = 0;
    }
    std::fclose(pFile);
    if (bReadError) {
        return Result::ReadError;
    }
    if (m_llBytesRead == 0) {
        return Result::Empty;
    }
    if (layout.nFirst < 0) {
        return Result::NotTransportStream;
    }
    // The first PCR PID when it has a measurable span; otherwise the PID
    // with the longest one.
    int nPid = -1;
    int64_t nBestPackets = 0;
    int64_t nBestTicks = 0;
    if (nFirstPid >= 0) {
        vRates[size_t(nFirstPid)].GetRegular(nBestPackets, nBestTicks);
        nPid = nBestTicks > 0 ? nFirstPid : -1;
    }
    const bool bSearch = nPid < 0;
    for (int i = 0; bSearch && i < kPidCount; ++i) {
        int64_t nPackets = 0;
        int64_t nTicks = 0;
        vRates[size_t(i)].GetRegular(nPackets, nTicks);
        if (nTicks > nBestTicks) {
            nPid = i;
            nBestPackets = nPackets;
            nBestTicks = nTicks;
        }
    }
    if (nPid < 0) {
        return Result::NoUsablePcr;
    }
    const double fRate =
        double(nBestPackets) * kTsPacketSize * 8 * double(kPcrHz) / double(nBestTicks);
    if (!(fRate >= 1.0 && fRate < 2.0e9)) {
        return Result::NoUsablePcr;
    }
    m_nBitRate = int(fRate);
    m_fSeconds = double(nBestTicks) / double(kPcrHz);
    m_nPcrPid = nPid;
    return Result::Ok;
}

std::string CPcrRateScanner::Describe(Result result, int nErrno)
{
    switch (result) {
    case Result::Ok:
        return "ok";
    case Result::CannotOpen:
        return std::strerror(nErrno);
    case Result::ReadError:
        return "read error";
    case Result::Empty:
        return "empty file, not a transport stream";
    case Result::NotTransportStream:
        return "not a transport stream (no transport-stream packets found)";
    case Result::NoUsablePcr:
        return "no usable PCRs, so its bit rate cannot be estimated";
    }
    return "unknown";
}

std::string CPcrRateScanner::Describe(Result result) const
{
    if (result == Result::NotTransportStream && !m_sNoPackets.empty()) {
        return "not a transport stream: " + m_sNoPackets;
    }
    return Describe(result, m_nErrno);
}
