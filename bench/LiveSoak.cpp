// The live soak's two halves (bench/soak-live.sh runs them):
//   bm_live_soak send PORT PPM FILE TRACE_PID TRACE_FILE
//     sends FILE to udp://127.0.0.1:PORT in real time with a clock PPM fast
//     and writes the steady-clock send time of every packet of TRACE_PID;
//   bm_live_soak delay OUTPUT RATE OUT_PID TRACE_FILE
//     pairs the n-th packet of OUT_PID in the real-time OUTPUT (written at
//     RATE bit/s, so its slot gives its time on our clock) with the n-th one
//     sent, and prints per minute the delay through the muxer relative to
//     the first minute: flat when the sender's clock is followed, growing by
//     PPM microseconds per second when it is not;
//   bm_live_soak lead OUTPUT RATE PID
//     PTS minus PCR at the PES starts of PID per minute: flat when the PCRs
//     follow the sender's clock.
#include "CPacedSender.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int Send(int argc, char** argv)
{
    if (argc != 7) {
        return 2;
    }
    CPacedSender sender;
    if (!sender.Load(argv[4])) {
        std::fprintf(stderr, "bm_live_soak: %s: no packets or no PCRs\n", argv[4]);
        return 1;
    }
    sender.TracePid(std::atoi(argv[5]));
    const double fPpm = std::atof(argv[3]);
    if (!sender.Start(std::atoi(argv[2]), 1.0 - fPpm * 1e-6)) {
        return 1;
    }
    sender.Join();
    std::FILE* pOut = std::fopen(argv[6], "w");
    if (pOut == nullptr) {
        return 1;
    }
    for (int64_t nMicros : sender.GetTrace()) {
        std::fprintf(pOut, "%lld\n", static_cast<long long>(nMicros));
    }
    std::fclose(pOut);
    return 0;
}

int Delay(int argc, char** argv)
{
    if (argc != 6) {
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    const std::vector<uint8_t> vData{std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>()};
    const double fRate = std::atof(argv[3]);
    const int nPid = std::atoi(argv[4]);
    std::vector<long long> vSent;
    std::ifstream trace(argv[5]);
    for (long long n = 0; trace >> n;) {
        vSent.push_back(n);
    }
    // Delay of every packet, plus one unknown constant (the muxer's start).
    std::vector<double> vDelay;
    const size_t nSlots = vData.size() / 188;
    for (size_t s = 0; s < nSlots && vDelay.size() < vSent.size(); ++s) {
        const uint8_t* p = &vData[s * 188];
        if ((((p[1] & 0x1F) << 8) | p[2]) != nPid) {
            continue;
        }
        const double fOut = double(s) * 188 * 8 / fRate * 1e6;
        vDelay.push_back(fOut - double(vSent[vDelay.size()] - vSent[0]));
    }
    if (vDelay.size() < 2) {
        std::fprintf(stderr, "bm_live_soak: no packets of PID %d in %s\n", nPid, argv[2]);
        return 1;
    }
    std::printf("packets paired: %zu of %zu sent\n", vDelay.size(), vSent.size());
    std::printf("minute  median_us  min_us  max_us  (relative to minute 1's median)\n");
    double fRef = 0;
    size_t nFrom = 0;
    for (int nMinute = 1; nFrom < vDelay.size(); ++nMinute) {
        std::vector<double> v;
        size_t i = nFrom;
        for (; i < vDelay.size() && vSent[i] - vSent[0] < int64_t(nMinute) * 60'000'000; ++i) {
            v.push_back(vDelay[i]);
        }
        nFrom = i;
        if (v.empty()) {
            continue;
        }
        std::sort(v.begin(), v.end());
        const double fMedian = v[v.size() / 2];
        if (nMinute == 1) {
            fRef = fMedian;
        }
        std::printf("%6d  %9.0f  %6.0f  %6.0f\n", nMinute, fMedian - fRef, v.front() - fRef,
                    v.back() - fRef);
    }
    return 0;
}

// PTS minus the last PCR at each PES start of a PID that carries both, per
// minute of output: flat when the PCRs run on the sender's clock.
int Lead(int argc, char** argv)
{
    if (argc != 5) {
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    const std::vector<uint8_t> vData{std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>()};
    const double fRate = std::atof(argv[3]);
    const int nPid = std::atoi(argv[4]);
    int64_t nPcr = -1;
    std::vector<std::vector<double>> vMinutes;
    for (size_t s = 0; s < vData.size() / 188; ++s) {
        const uint8_t* p = &vData[s * 188];
        if ((((p[1] & 0x1F) << 8) | p[2]) != nPid) {
            continue;
        }
        size_t nAt = 4;
        if ((p[3] & 0x20) != 0) {
            if (p[4] > 0 && (p[5] & 0x10) != 0) {
                const int64_t nBase = (int64_t(p[6]) << 25) | (int64_t(p[7]) << 17) |
                                      (int64_t(p[8]) << 9) | (int64_t(p[9]) << 1) | (p[10] >> 7);
                nPcr = nBase * 300 + (((p[10] & 1) << 8) | p[11]);
            }
            nAt = 5 + size_t(p[4]);
        }
        if ((p[1] & 0x40) == 0 || (p[3] & 0x10) == 0 || nPcr < 0 || nAt + 14 > 188 ||
            p[nAt] != 0 || p[nAt + 1] != 0 || p[nAt + 2] != 1 || (p[nAt + 7] & 0x80) == 0) {
            continue;
        }
        const uint8_t* t = p + nAt + 9;
        const int64_t nPts = (int64_t((t[0] >> 1) & 7) << 30) | (int64_t(t[1]) << 22) |
                             (int64_t(t[2] >> 1) << 15) | (int64_t(t[3]) << 7) | (t[4] >> 1);
        const size_t nMinute = size_t(double(s) * 188 * 8 / fRate / 60);
        vMinutes.resize(std::max(vMinutes.size(), nMinute + 1));
        vMinutes[nMinute].push_back(double(nPts * 300 - nPcr) / 27000.0);
    }
    std::printf("minute  median PTS-PCR ms\n");
    for (size_t m = 0; m < vMinutes.size(); ++m) {
        std::vector<double>& v = vMinutes[m];
        if (!v.empty()) {
            std::sort(v.begin(), v.end());
            std::printf("%6zu  %8.2f\n", m + 1, v[v.size() / 2]);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string sMode = argc > 1 ? argv[1] : "";
    const int nStatus = sMode == "send"    ? Send(argc, argv)
                        : sMode == "delay" ? Delay(argc, argv)
                        : sMode == "lead"  ? Lead(argc, argv)
                                           : 2;
    if (nStatus == 2) {
        std::fprintf(stderr, "usage: bm_live_soak send PORT PPM FILE TRACE_PID TRACE_FILE\n"
                             "       bm_live_soak delay OUTPUT RATE OUT_PID TRACE_FILE\n"
                             "       bm_live_soak lead OUTPUT RATE OUT_PID\n");
    }
    return nStatus;
}
