#include "CTimingCheck.h"

#include <algorithm>

namespace {

constexpr int64_t kTicksPerMs = 27'000;

// The PTS of a PES start in this packet, or -1.
int64_t PtsOf(const uint8_t* p)
{
    if ((p[1] & 0x40) == 0 || (p[3] & 0x10) == 0) {
        return -1;
    }
    size_t nAt = 4;
    if (p[3] & 0x20) {
        nAt += 1 + size_t(p[4]);
    }
    if (nAt + 14 > 188 || p[nAt] != 0 || p[nAt + 1] != 0 || p[nAt + 2] != 1 ||
        (p[nAt + 7] & 0x80) == 0) {
        return -1;
    }
    const uint8_t* t = p + nAt + 9;
    return (int64_t(t[0] & 0x0E) << 29) | (int64_t(t[1]) << 22) | (int64_t(t[2] & 0xFE) << 14) |
           (int64_t(t[3]) << 7) | (t[4] >> 1);
}

} // namespace

std::map<int64_t, int64_t> CTimingCheck::PesLead(const tsr::CTsReader& reader, uint16_t nPid,
                                                 uint16_t nPcrPid)
{
    std::map<int64_t, int64_t> lead;
    const std::vector<tsr::PcrSample>& vPcrs = reader.GetPcrs(nPcrPid);
    size_t k = 0;
    for (size_t i = 0; i < reader.GetPacketCount() && vPcrs.size() >= 2; ++i) {
        if (reader.GetPid(i) != nPid) {
            continue;
        }
        const int64_t nPts = PtsOf(reader.GetPacket(i));
        if (nPts < 0) {
            continue;
        }
        while (k + 2 < vPcrs.size() && vPcrs[k + 1].nPacket <= i) {
            ++k;
        }
        const tsr::PcrSample& a = vPcrs[k];
        const tsr::PcrSample& b = vPcrs[k + 1];
        if (i < a.nPacket || i > b.nPacket || b.nPacket == a.nPacket || b.bDiscontinuity) {
            continue; // outside the PCRs, or across a new time base
        }
        const double fPcr = double(a.nPcr) + double(b.nPcr - a.nPcr) * double(i - a.nPacket) /
                                                 double(b.nPacket - a.nPacket);
        lead[nPts] = nPts * 300 - int64_t(fPcr);
    }
    return lead;
}

double CTimingCheck::SpreadMs(const std::map<int64_t, int64_t>& in,
                              const std::map<int64_t, int64_t>& out, size_t& nMatched)
{
    int64_t nMin = INT64_MAX;
    int64_t nMax = INT64_MIN;
    nMatched = 0;
    for (const auto& entry : out) {
        auto it = in.find(entry.first);
        if (it == in.end()) {
            continue;
        }
        const int64_t nChange = entry.second - it->second;
        nMin = std::min(nMin, nChange);
        nMax = std::max(nMax, nChange);
        ++nMatched;
    }
    return nMatched == 0 ? 0.0 : double(nMax - nMin) / kTicksPerMs;
}

double CTimingCheck::MaxPcrGapMs(const tsr::CTsReader& reader)
{
    int64_t nMax = 0;
    for (uint16_t nPid : reader.GetPcrPids()) {
        const std::vector<tsr::PcrSample>& v = reader.GetPcrs(nPid);
        for (size_t i = 1; i < v.size(); ++i) {
            if (!v[i].bDiscontinuity) {
                nMax = std::max(nMax, v[i].nPcr - v[i - 1].nPcr);
            }
        }
    }
    return double(nMax) / kTicksPerMs;
}
