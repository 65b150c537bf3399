#include "CPcrRateScanner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kPacketSize = 188;
constexpr unsigned char kSync = 0x47;
constexpr int kPidCount = 8192;
constexpr int64_t kPcrHz = 27'000'000;
constexpr int64_t kPcrWrap = (int64_t(1) << 33) * 300;
// A step above half a second is a jump, not a PCR interval (PCRs come at
// least every 100 ms); the interval is left out and measuring goes on.
constexpr int64_t kMaxPcrStep = kPcrHz / 2;
// Enough for a stable figure; a long recording need not be read to its end.
constexpr double kEnoughPcrSeconds = 60.0;
constexpr int kChunkPackets = 8192;

struct PidTrack
{
    int64_t nLastPcr = -1;
    int64_t nLastPacket = 0;
    int64_t nPackets = 0; // packets spanned by the intervals counted
    int64_t nTicks = 0;   // PCR time of those intervals
};

} // namespace

CPcrRateScanner::Result CPcrRateScanner::Scan(const char* szPath)
{
    FILE* pFile = std::fopen(szPath, "rb");
    if (!pFile) {
        m_nErrno = errno;
        return Result::CannotOpen;
    }
    std::vector<PidTrack> vTracks(kPidCount);
    std::vector<unsigned char> vBuf(size_t(kChunkPackets) * kPacketSize);
    int64_t nPacket = 0;
    int64_t nSynced = 0;
    int64_t nBytes = 0;
    int nFirstPid = -1; // the first PID seen with a PCR is measured, as the library does
    bool bReadError = false;
    size_t nRead = 0;
    while ((nRead = std::fread(vBuf.data(), 1, vBuf.size(), pFile)) > 0) {
        nBytes += int64_t(nRead);
        // A trailing partial packet is never looked at.
        for (size_t nOff = 0; nOff + kPacketSize <= nRead; nOff += kPacketSize, ++nPacket) {
            const unsigned char* p = &vBuf[nOff];
            if (p[0] != kSync) {
                continue;
            }
            ++nSynced;
            bool bAdaptation = p[3] & 0x20;
            if (!bAdaptation || p[4] < 7 || !(p[5] & 0x10)) {
                continue;
            }
            int nPid = ((p[1] & 0x1F) << 8) | p[2];
            const unsigned char* f = p + 6;
            int64_t nBase = (int64_t(f[0]) << 25) | (int64_t(f[1]) << 17) | (int64_t(f[2]) << 9) |
                            (int64_t(f[3]) << 1) | (f[4] >> 7);
            int64_t nPcr = nBase * 300 + (((f[4] & 0x01) << 8) | f[5]);
            bool bDiscontinuity = p[5] & 0x80;
            if (nFirstPid < 0) {
                nFirstPid = nPid;
            }
            PidTrack& track = vTracks[size_t(nPid)];
            if (track.nLastPcr >= 0 && !bDiscontinuity) {
                int64_t nStep = (nPcr - track.nLastPcr + kPcrWrap) % kPcrWrap;
                if (nStep > 0 && nStep <= kMaxPcrStep) {
                    track.nTicks += nStep;
                    track.nPackets += nPacket - track.nLastPacket;
                }
            }
            track.nLastPcr = nPcr;
            track.nLastPacket = nPacket;
        }
        if (nFirstPid >= 0 &&
            double(vTracks[size_t(nFirstPid)].nTicks) >= kEnoughPcrSeconds * kPcrHz) {
            break;
        }
        if (nRead < vBuf.size()) {
            bReadError = std::ferror(pFile) != 0;
            break;
        }
    }
    if (nRead == 0 && std::ferror(pFile)) {
        bReadError = true;
    }
    std::fclose(pFile);
    if (bReadError) {
        return Result::ReadError;
    }
    if (nBytes == 0) {
        return Result::Empty;
    }
    if (nSynced == 0) {
        return Result::NotTransportStream;
    }
    // The first PCR PID when it has a measurable span; otherwise the PID
    // with the longest one.
    int nPid = nFirstPid;
    if (nPid < 0 || vTracks[size_t(nPid)].nTicks == 0) {
        nPid = -1;
        for (int i = 0; i < kPidCount; ++i) {
            if (vTracks[size_t(i)].nTicks > 0 &&
                (nPid < 0 || vTracks[size_t(i)].nTicks > vTracks[size_t(nPid)].nTicks)) {
                nPid = i;
            }
        }
    }
    if (nPid < 0) {
        return Result::NoUsablePcr;
    }
    const PidTrack& track = vTracks[size_t(nPid)];
    double fRate = double(track.nPackets) * kPacketSize * 8 * double(kPcrHz) / double(track.nTicks);
    if (!(fRate >= 1.0 && fRate < 2.0e9)) {
        return Result::NoUsablePcr;
    }
    m_nBitRate = int(fRate);
    m_fSeconds = double(track.nTicks) / double(kPcrHz);
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
        return "not a transport stream (no packet starts with 0x47)";
    case Result::NoUsablePcr:
        return "no usable PCRs, so its bit rate cannot be estimated";
    }
    return "unknown";
}
