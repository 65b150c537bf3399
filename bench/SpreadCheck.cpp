// How well a multiplex kept the timing of its inputs: per output stream the
// spread of (PTS - PCR out) - (PTS - PCR in), each output stream matched to
// the input stream whose PES carry the same PTS values. With the output rate
// it also gives the floor of that spread: the largest lateness any
// scheduler must give some packet when the inputs' packets, each due at its
// time on its input's timeline, share what the output's tables and PCR-only
// packets leave of the rate.
// Usage: bm_spread_check OUT.ts IN.ts [IN.ts ...] [--rate BITS]
#include "CTimingCheck.h"
#include "support/CTsReader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <memory>
#include <vector>

namespace {

struct Stream
{
    size_t nInput;
    uint16_t nPid;
    std::map<int64_t, int64_t> lead; // PTS -> PTS - PCR
};

std::vector<Stream> StreamsOf(const tsr::CTsReader& reader, size_t nInput)
{
    std::vector<Stream> v;
    for (const auto& [nNumber, pmt] : reader.GetPmts()) {
        for (const tsr::PmtStream& es : pmt.streams) {
            v.push_back({nInput, es.nPid, CTimingCheck::PesLead(reader, es.nPid, pmt.nPcrPid)});
        }
    }
    return v;
}

// Due times of an input's program packets, seconds from its first one: by
// position between the PCRs of its first program's PCR PID.
std::vector<double> DueTimes(const tsr::CTsReader& reader)
{
    std::vector<double> v;
    if (reader.GetPmts().empty()) {
        return v;
    }
    std::set<uint16_t> pids;
    for (const auto& [nNumber, pmt] : reader.GetPmts()) {
        pids.insert(pmt.nPcrPid);
        for (const tsr::PmtStream& es : pmt.streams) {
            pids.insert(es.nPid);
        }
    }
    const std::vector<tsr::PcrSample>& pcrs =
        reader.GetPcrs(reader.GetPmts().begin()->second.nPcrPid);
    if (pcrs.size() < 2) {
        return v;
    }
    size_t k = 0;
    for (size_t i = 0; i < reader.GetPacketCount(); ++i) {
        if (pids.count(reader.GetPid(i)) == 0) {
            continue;
        }
        while (k + 2 < pcrs.size() && pcrs[k + 1].nPacket <= i) {
            ++k;
        }
        const tsr::PcrSample& a = pcrs[k];
        const tsr::PcrSample& b = pcrs[k + 1];
        const double fTicks = double(a.nPcr) + double(b.nPcr - a.nPcr) *
                                                   (double(i) - double(a.nPacket)) /
                                                   double(b.nPacket - a.nPacket);
        v.push_back(fTicks / 27e6);
    }
    const double fFirst = v.empty() ? 0 : v.front();
    for (double& f : v) {
        f -= fFirst;
    }
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bm_spread_check OUT.ts IN.ts [IN.ts ...]\n");
        return 2;
    }
    double fRate = 0;
    if (argc > 3 && std::strcmp(argv[argc - 2], "--rate") == 0) {
        fRate = std::atof(argv[argc - 1]);
        argc -= 2;
    }
    std::vector<std::unique_ptr<tsr::CTsReader>> vReaders;
    std::vector<Stream> vIn;
    for (int i = 2; i < argc; ++i) {
        vReaders.push_back(std::make_unique<tsr::CTsReader>());
        if (!vReaders.back()->LoadFile(argv[i])) {
            std::fprintf(stderr, "bm_spread_check: cannot read %s\n", argv[i]);
            return 1;
        }
        for (Stream& s : StreamsOf(*vReaders.back(), size_t(i - 1))) {
            vIn.push_back(std::move(s));
        }
    }
    tsr::CTsReader out;
    if (!out.LoadFile(argv[1])) {
        std::fprintf(stderr, "bm_spread_check: cannot read %s\n", argv[1]);
        return 1;
    }
    double fWorst = 0;
    std::vector<bool> vUsed(vIn.size(), false);
    // Programs of the same source carry the same PTS values: each output
    // stream takes the first input stream not taken yet that matches best.
    for (const Stream& o : StreamsOf(out, 0)) {
        size_t nPick = vIn.size();
        size_t nBest = 0;
        for (size_t k = 0; k < vIn.size(); ++k) {
            size_t nMatched = 0;
            CTimingCheck::SpreadMs(vIn[k].lead, o.lead, nMatched);
            if (!vUsed[k] && nMatched > nBest) {
                nBest = nMatched;
                nPick = k;
            }
        }
        if (nPick == vIn.size()) {
            continue;
        }
        vUsed[nPick] = true;
        const Stream* pBest = &vIn[nPick];
        size_t nMatched = 0;
        const double fSpread = CTimingCheck::SpreadMs(pBest->lead, o.lead, nMatched);
        std::printf("output PID %u (input %zu PID %u): %zu PES, spread %.2f ms\n", o.nPid,
                    pBest->nInput, pBest->nPid, nMatched, fSpread);
        fWorst = fWorst > fSpread ? fWorst : fSpread;
    }
    std::printf("largest spread %.2f ms\n", fWorst);
    if (fRate <= 0) {
        return 0;
    }
    // What the content has of the rate: the output's slots less its tables
    // and the PCR-only packets the muxer added.
    size_t nOverhead = 0;
    std::set<uint16_t> tablePids{0x0000, 0x0010, 0x0011};
    for (const auto& entry : out.GetPat().programs) {
        tablePids.insert(entry.second);
    }
    size_t nInputPcrOnly = 0;
    for (const auto& pReader : vReaders) {
        for (size_t i = 0; i < pReader->GetPacketCount(); ++i) {
            const uint8_t* p = pReader->GetPacket(i);
            nInputPcrOnly += (p[3] & 0x30) == 0x20 && p[4] >= 7 && (p[5] & 0x10) != 0;
        }
    }
    for (size_t i = 0; i < out.GetPacketCount(); ++i) {
        const uint8_t* p = out.GetPacket(i);
        nOverhead += tablePids.count(out.GetPid(i)) != 0 ||
                     ((p[3] & 0x30) == 0x20 && p[4] >= 7 && (p[5] & 0x10) != 0);
    }
    nOverhead -= std::min(nOverhead, nInputPcrOnly);
    const double fSeconds = double(out.GetPacketCount()) * 1504 / fRate;
    const double fCapacity = fRate / 1504 - double(nOverhead) / fSeconds; // packets a second
    std::vector<double> vDue;
    for (const auto& pReader : vReaders) {
        const std::vector<double> v = DueTimes(*pReader);
        vDue.insert(vDue.end(), v.begin(), v.end());
    }
    std::sort(vDue.begin(), vDue.end());
    // Earliest due first at that capacity: packet j leaves (j - i) services
    // after the start of the busy stretch that began at packet i.
    double fMinStart = 1e18;
    double fFloor = 0;
    for (size_t j = 0; j < vDue.size(); ++j) {
        fMinStart = std::min(fMinStart, double(j) / fCapacity - vDue[j]);
        fFloor = std::max(fFloor, double(j) / fCapacity - vDue[j] - fMinStart);
    }
    std::printf("floor: %.2f ms of lateness at %.0f packets/s for content (%zu tables and "
                "PCR-only packets of the muxer's in %.2f s)\n",
                fFloor * 1000, fCapacity, nOverhead, fSeconds);
    return 0;
}
