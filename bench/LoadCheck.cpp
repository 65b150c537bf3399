// The figures of a multiplex under load, read from its output file with the
// tests' own reader: PCR-only packets the muxer added, null share, the
// longest gaps of PAT, PMTs, SDT, NIT and PCRs.
// Usage: bm_load_check OUT.ts RATE_BPS
#include "support/CTsReader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bm_load_check OUT.ts RATE_BPS\n");
        return 2;
    }
    tsr::CTsReader out;
    std::string sError;
    if (!out.LoadFile(argv[1], &sError)) {
        std::fprintf(stderr, "bm_load_check: %s\n", sError.c_str());
        return 1;
    }
    const double fRate = std::atof(argv[2]);
    const size_t nPackets = out.GetPacketCount();
    size_t nNull = 0;
    size_t nPcrOnly = 0;
    const std::set<uint16_t> pcrPids = out.GetPcrPids();
    for (size_t i = 0; i < nPackets; ++i) {
        const uint8_t* p = out.GetPacket(i);
        const uint16_t nPid = out.GetPid(i);
        if (nPid == 0x1FFF) {
            ++nNull;
        } else if ((p[3] & 0x30) == 0x20 && p[4] >= 7 && (p[5] & 0x10) != 0) {
            ++nPcrOnly;
        }
    }
    double fPmt = 0;
    for (const auto& entry : out.GetPat().programs) {
        fPmt = std::max(fPmt, out.GetRepetition(entry.second, fRate).fMaxGapMs);
    }
    double fPcrGap = 0;
    for (uint16_t nPid : pcrPids) {
        const std::vector<tsr::PcrSample>& v = out.GetPcrs(nPid);
        for (size_t i = 1; i < v.size(); ++i) {
            if (!v[i].bDiscontinuity) {
                fPcrGap = std::max(fPcrGap, double(v[i].nPcr - v[i - 1].nPcr) / 27000.0);
            }
        }
    }
    std::printf("packets %zu, PCR-only %zu (%.2f %%), null %.2f %%\n", nPackets, nPcrOnly,
                100.0 * double(nPcrOnly) / double(nPackets), 100.0 * double(nNull) / double(nPackets));
    std::printf("largest gaps: PAT %.1f ms, PMT %.1f ms, SDT %.1f ms, NIT %.1f ms, PCR %.2f ms\n",
                out.GetRepetition(0x0000, fRate).fMaxGapMs, fPmt,
                out.GetRepetition(0x0011, fRate).fMaxGapMs,
                out.GetRepetition(0x0010, fRate).fMaxGapMs, fPcrGap);
    std::printf("continuity errors %d\n", out.GetCcErrors());
    return 0;
}
