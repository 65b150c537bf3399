// Checks the output of a long multiplex of two files against its inputs:
// every packet of every input stream present once and in order on its new
// PID, nothing on PIDs the output does not announce, the bit rate the
// output's own PCRs span against the nominal rate, the presentation times
// keeping their distance to those PCRs, PCR accuracy, continuity and the PSI
// intervals. Prints one "name: value" line per figure and exits
// 1 when a check fails, 2 when the files cannot be read.
//
// The nominal rate is worked out from the inputs the way the console program
// does it, since its mux_rate line shows only two decimals; the line given
// must agree with it.
//
// usage: bm_soak_check in1.ts in2.ts out.ts mux_rate [rate_tolerance_ppm]
#include "braidmill.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// TR 101 290 first-priority limits: PAT and PMT at least every 500 ms; the
// SDT every 2 s and the NIT every 10 s (second/third priority).
constexpr double kPatPmtMaxGapMs = 500;
constexpr double kSdtMaxGapMs = 2000;
constexpr double kNitMaxGapMs = 10000;
constexpr double kPcrAccuracyNs = 500;
// How far the presentation times may drift against the output's PCRs over
// the run, beyond what they drift in the input: a decoder's buffer absorbs
// a few milliseconds, not a drift that grows with every hour.
constexpr double kMaxDriftPpm = 20;
// The PTS-PCR distance is averaged over this share of the PES packets at
// each end, which evens out the picture reordering.
constexpr double kDriftWindow = 0.1;

int g_nFailures = 0;

void Fail(const char* szWhat)
{
    std::printf("FAIL: %s\n", szWhat);
    ++g_nFailures;
}

// A fingerprint per packet keeps the comparison of a few hundred thousand
// packets in a few megabytes; a collision would hide one lost packet in 2^64.
uint64_t Fingerprint(const uint8_t* pPacket)
{
    const tsr::Bytes comparable = tsr::CTsReader::Comparable(pPacket);
    uint64_t nHash = 1469598103934665603ull; // FNV-1a
    for (uint8_t nByte : comparable) {
        nHash = (nHash ^ nByte) * 1099511628211ull;
    }
    return nHash;
}

std::vector<uint64_t> Fingerprints(const tsr::CTsReader& reader, uint16_t nPid)
{
    std::vector<uint64_t> vOut;
    for (size_t i = 0; i < reader.GetPacketCount(); ++i) {
        if (reader.GetPid(i) == nPid) {
            vOut.push_back(Fingerprint(reader.GetPacket(i)));
        }
    }
    return vOut;
}

struct Comparison
{
    size_t nLost = 0;          // input packets not found in order in the output
    size_t nExtra = 0;         // output packets not matched to an input packet
    long long nFirstDiff = -1; // index of the first packet that differs, -1 when none
};

// The output must be the input, packet for packet. When it is not, the
// output is matched greedily as a subsequence of the input, which counts
// losses exactly and shows duplicates and reordering as extras.
Comparison Compare(const std::vector<uint64_t>& vIn, const std::vector<uint64_t>& vOut)
{
    Comparison result;
    if (vIn == vOut) {
        return result;
    }
    const size_t nCommon = std::min(vIn.size(), vOut.size());
    result.nFirstDiff = (long long)nCommon;
    for (size_t i = 0; i < nCommon; ++i) {
        if (vIn[i] != vOut[i]) {
            result.nFirstDiff = (long long)i;
            break;
        }
    }
    size_t j = 0;
    size_t nMatched = 0;
    for (size_t i = 0; i < vIn.size(); ++i) {
        if (j < vOut.size() && vOut[j] == vIn[i]) {
            ++j;
            ++nMatched;
        } else {
            ++result.nLost;
        }
    }
    result.nExtra = vOut.size() - nMatched;
    return result;
}

bool Load(tsr::CTsReader& reader, const char* szPath)
{
    std::string sError;
    if (!reader.LoadFile(szPath, &sError)) {
        std::fprintf(stderr, "bm_soak_check: %s: %s\n", szPath, sError.c_str());
        return false;
    }
    return true;
}

int64_t PcrDelta(int64_t nFrom, int64_t nTo)
{
    int64_t nDelta = (nTo - nFrom) % kPcrModulo;
    return nDelta < 0 ? nDelta + kPcrModulo : nDelta;
}

// PTS of a packet that starts a PES packet carrying one, else -1.
int64_t ReadPts(const uint8_t* p)
{
    if (!(p[1] & 0x40) || !(p[3] & 0x10)) {
        return -1;
    }
    size_t nOff = 4;
    if (p[3] & 0x20) {
        nOff += 1 + size_t(p[4]);
    }
    if (nOff + 14 > size_t(kTsPacketSize)) {
        return -1;
    }
    const uint8_t* q = p + nOff;
    if (q[0] != 0 || q[1] != 0 || q[2] != 1 || !(q[7] & 0x80)) {
        return -1;
    }
    const uint8_t* t = q + 9;
    return (int64_t((t[0] >> 1) & 0x7) << 30) | (int64_t(t[1]) << 22) | (int64_t(t[2] >> 1) << 15) |
           (int64_t(t[3]) << 7) | (t[4] >> 1);
}

struct Drift
{
    double fSeconds = std::nan(""); // PTS lead at the end less PTS lead at the start
    double fOverSeconds = 0;        // PCR time between the two measurements
    size_t nCount = 0;              // time stamps seen
};

// How far the presentation times of a PID lead the PCRs of another at the
// end of the file more than at its start (negative: they fall behind), with
// the PCR of each packet taken from the straight line through the first and
// the last PCR. fSeconds is nan without enough of either.
Drift PtsDrift(const tsr::CTsReader& reader, uint16_t nPid, uint16_t nPcrPid)
{
    Drift drift;
    const std::vector<tsr::PcrSample>& vPcrs = reader.GetPcrs(nPcrPid);
    if (vPcrs.size() < 2 || vPcrs.back().nPacket == vPcrs.front().nPacket) {
        return drift;
    }
    const double fTicksPerPacket = double(PcrDelta(vPcrs.front().nPcr, vPcrs.back().nPcr)) /
                                   double(vPcrs.back().nPacket - vPcrs.front().nPacket);
    std::vector<double> vLead;
    std::vector<double> vAt; // PCR time of each, s
    int64_t nPrevPts = -1;
    int64_t nPtsBase = 0; // unwraps the 33-bit field
    for (size_t i = 0; i < reader.GetPacketCount(); ++i) {
        if (reader.GetPid(i) != nPid) {
            continue;
        }
        const int64_t nPts = ReadPts(reader.GetPacket(i));
        if (nPts < 0) {
            continue;
        }
        if (nPrevPts >= 0 && nPts + kPtsModulo / 2 < nPrevPts) {
            nPtsBase += kPtsModulo;
        }
        nPrevPts = nPts;
        const double fPcr = double(vPcrs.front().nPcr) +
                            (double(i) - double(vPcrs.front().nPacket)) * fTicksPerPacket;
        vLead.push_back(double(nPtsBase + nPts) / kPtsHz - fPcr / kPcrHz);
        vAt.push_back(fPcr / kPcrHz);
    }
    drift.nCount = vLead.size();
    const size_t nWindow = size_t(double(vLead.size()) * kDriftWindow);
    if (nWindow < 10) {
        return drift;
    }
    double fFirst = 0;
    double fLast = 0;
    double fFirstAt = 0;
    double fLastAt = 0;
    for (size_t i = 0; i < nWindow; ++i) {
        const size_t j = vLead.size() - nWindow + i;
        fFirst += vLead[i];
        fLast += vLead[j];
        fFirstAt += vAt[i];
        fLastAt += vAt[j];
    }
    drift.fSeconds = (fLast - fFirst) / double(nWindow);
    drift.fOverSeconds = (fLastAt - fFirstAt) / double(nWindow);
    return drift;
}

// The program's estimate: the library's from the file's start, else from a
// longer stretch.
int InputRate(const char* szPath)
{
    BraidmillRateScan scan;
    ScanSourceRate(szPath, scan);
    return scan.nBitRate;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s in1.ts in2.ts out.ts mux_rate [rate_tolerance_ppm]\n",
                     argv[0]);
        return 2;
    }
    const double fTolerancePpm = argc > 5 ? std::atof(argv[5]) : 1.0;
    if (!(fTolerancePpm >= 0)) {
        std::fprintf(stderr, "bm_soak_check: bad tolerance %s\n", argv[5]);
        return 2;
    }
    const int nRate1 = InputRate(argv[1]);
    const int nRate2 = InputRate(argv[2]);
    if (nRate1 <= 0 || nRate2 <= 0) {
        std::fprintf(stderr, "bm_soak_check: no bit rate for an input\n");
        return 2;
    }
    const float fMuxRate = float(double(nRate1) / 1024 / 1024 + double(nRate2) / 1024 / 1024 + 1);
    const double fNominal = double(fMuxRate) * 1024 * 1024;
    char szRate[32];
    std::snprintf(szRate, sizeof szRate, "%.2f", double(fMuxRate));
    std::printf("input rates: %d + %d bit/s, mux rate %.7f (%s) = %.1f bit/s\n", nRate1, nRate2,
                double(fMuxRate), szRate, fNominal);
    if (std::string(szRate) != argv[4]) {
        std::printf("mux_rate line: %s\n", argv[4]);
        Fail("the program chose another rate than its inputs give");
    }

    tsr::CTsReader inputs[2];
    tsr::CTsReader out;
    if (!Load(inputs[0], argv[1]) || !Load(inputs[1], argv[2]) || !Load(out, argv[3])) {
        return 2;
    }

    std::printf("output packets: %zu\n", out.GetPacketCount());
    if (!out.IsWholePackets()) {
        std::printf("output trailing bytes: %zu, sync errors: %zu\n", out.GetTrailingBytes(),
                    out.GetSyncErrors());
        Fail("output is not whole 188-byte packets");
    }

    // Input programs in input order, each input's in program-number order,
    // against the output's programs in program-number order: the multiplex
    // numbers them that way.
    std::vector<std::pair<int, const tsr::Pmt*>> vInPrograms;
    for (int i = 0; i < 2; ++i) {
        for (const auto& entry : inputs[i].GetPmts()) {
            vInPrograms.emplace_back(i, &entry.second);
        }
    }
    std::vector<const tsr::Pmt*> vOutPrograms;
    for (const auto& entry : out.GetPmts()) {
        vOutPrograms.push_back(&entry.second);
    }
    std::printf("programs: %zu in, %zu out\n", vInPrograms.size(), vOutPrograms.size());
    if (vInPrograms.empty() || vInPrograms.size() != vOutPrograms.size() ||
        out.GetPat().programs.size() != vOutPrograms.size()) {
        Fail("the output's programs are not the inputs' programs");
    }

    // (input, input PID) -> output PID, from the PMTs on both sides.
    struct Move
    {
        int nInput;
        uint16_t nInPid;
        uint16_t nOutPid;
    };
    struct Timing
    {
        int nInput;
        uint16_t nInPid;
        uint16_t nInPcrPid;
        uint16_t nOutPid;
        uint16_t nOutPcrPid;
    };
    std::vector<Move> vMoves;
    std::vector<Timing> vTimings; // the first stream of each program
    std::set<uint16_t> announced = {kPidPat, kPidNit, kPidSdt, kPidNull};
    for (size_t p = 0; p < std::min(vInPrograms.size(), vOutPrograms.size()); ++p) {
        const int nInput = vInPrograms[p].first;
        const tsr::Pmt& in = *vInPrograms[p].second;
        const tsr::Pmt& outPmt = *vOutPrograms[p];
        announced.insert(outPmt.nPmtPid);
        announced.insert(outPmt.nPcrPid);
        if (in.streams.size() != outPmt.streams.size()) {
            Fail("an output program has not the streams of its input program");
            continue;
        }
        if (!in.streams.empty()) {
            vTimings.push_back(
                {nInput, in.streams[0].nPid, in.nPcrPid, outPmt.streams[0].nPid, outPmt.nPcrPid});
        }
        bool bPcrOnStream = false;
        for (size_t s = 0; s < in.streams.size(); ++s) {
            if (in.streams[s].nStreamType != outPmt.streams[s].nStreamType) {
                Fail("an output stream has another stream_type than its input stream");
            }
            vMoves.push_back({nInput, in.streams[s].nPid, outPmt.streams[s].nPid});
            announced.insert(outPmt.streams[s].nPid);
            bPcrOnStream = bPcrOnStream || in.streams[s].nPid == in.nPcrPid;
        }
        if (!bPcrOnStream && in.nPcrPid != kPidNull) {
            vMoves.push_back({nInput, in.nPcrPid, outPmt.nPcrPid});
        }
    }

    size_t nChecked = 0;
    size_t nLost = 0;
    size_t nExtra = 0;
    for (const Move& move : vMoves) {
        const std::vector<uint64_t> vIn = Fingerprints(inputs[move.nInput], move.nInPid);
        const std::vector<uint64_t> vOut = Fingerprints(out, move.nOutPid);
        const Comparison result = Compare(vIn, vOut);
        std::printf("input %d PID 0x%04X -> PID %u: %zu in, %zu out, lost %zu, extra %zu",
                    move.nInput + 1, move.nInPid, move.nOutPid, vIn.size(), vOut.size(),
                    result.nLost, result.nExtra);
        if (result.nFirstDiff >= 0) {
            std::printf(", first difference at packet %lld", result.nFirstDiff);
        }
        std::printf("\n");
        nChecked += vIn.size();
        nLost += result.nLost;
        nExtra += result.nExtra;
    }
    std::printf("stream packets checked: %zu\n", nChecked);
    std::printf("lost packets: %zu\n", nLost);
    std::printf("extra packets: %zu\n", nExtra);
    if (nChecked == 0 || nLost != 0 || nExtra != 0) {
        Fail("the output does not carry every input stream packet once, in order");
    }

    size_t nStray = 0;
    for (const auto& [nPid, nCount] : out.GetPidCounts()) {
        if (announced.count(nPid) == 0) {
            std::printf("stray PID %u: %zu packets\n", nPid, nCount);
            nStray += nCount;
        }
    }
    if (nStray != 0) {
        Fail("the output has packets on PIDs it does not announce");
    }

    const int nInCc = inputs[0].GetCcErrors() + inputs[1].GetCcErrors();
    std::printf("continuity errors: %d out (%d in the inputs)\n", out.GetCcErrors(), nInCc);
    if (out.GetCcErrors() > nInCc) {
        Fail("the output has continuity errors its inputs do not have");
    }
    const tsr::PsiErrors psiErrors = out.GetPsiErrors();
    if (psiErrors.nCrc + psiErrors.nLength + psiErrors.nIncomplete != 0) {
        std::printf("PSI errors: %d CRC, %d length, %d incomplete\n", psiErrors.nCrc,
                    psiErrors.nLength, psiErrors.nIncomplete);
        Fail("the output has damaged PSI sections");
    }

    // The rate the output's PCRs span: packets between the first and the last
    // PCR of a PID against the PCR time between them.
    double fSpanRate = 0;
    double fSpanSeconds = 0;
    for (uint16_t nPid : out.GetPcrPids()) {
        const std::vector<tsr::PcrSample>& vPcrs = out.GetPcrs(nPid);
        if (vPcrs.size() < 2) {
            continue;
        }
        const tsr::PcrSample& first = vPcrs.front();
        const tsr::PcrSample& last = vPcrs.back();
        const int64_t nTicks = PcrDelta(first.nPcr, last.nPcr);
        if (nTicks <= 0) {
            continue;
        }
        const double fSeconds = double(nTicks) / kPcrHz;
        const double fRate = double(last.nPacket - first.nPacket) * kTsPacketSize * 8 / fSeconds;
        const double fPpm = (fRate / fNominal - 1) * 1e6;
        const tsr::PcrAccuracy accuracy = out.CheckPcrAccuracy(nPid, fRate);
        std::printf("PCR PID %u: %zu PCRs over %.3f s, %.1f bit/s (%+.3f ppm), "
                    "accuracy max %.0f ns, max interval %.1f ms\n",
                    nPid, vPcrs.size(), fSeconds, fRate, fPpm, accuracy.fMaxAbsNs,
                    accuracy.fMaxGapMs);
        if (accuracy.fMaxAbsNs > kPcrAccuracyNs) {
            Fail("PCR accuracy beyond 500 ns");
        }
        // The longest span measures the rate most finely.
        if (fSeconds > fSpanSeconds) {
            fSpanSeconds = fSeconds;
            fSpanRate = fRate;
        }
    }
    if (fSpanRate == 0) {
        Fail("the output has no PCRs to time it by");
    } else {
        const double fSeconds = double(out.GetPacketCount()) * kTsPacketSize * 8 / fSpanRate;
        const double fPpm = (fSpanRate / fNominal - 1) * 1e6;
        std::printf("output time by PCR: %.3f s for %zu bytes\n", fSeconds,
                    out.GetPacketCount() * kTsPacketSize);
        std::printf("rate: %.1f bit/s against %.1f nominal, deviation %+.3f ppm (tolerance %.3f)\n",
                    fSpanRate, fNominal, fPpm, fTolerancePpm);
        if (std::fabs(fPpm) > fTolerancePpm) {
            Fail("the output rate is not the nominal rate");
        }
    }

    // The output's PCRs must keep the pace of the content they time.
    for (const Timing& timing : vTimings) {
        const Drift in = PtsDrift(inputs[timing.nInput], timing.nInPid, timing.nInPcrPid);
        const Drift outDrift = PtsDrift(out, timing.nOutPid, timing.nOutPcrPid);
        const double fPpm = (outDrift.fSeconds - in.fSeconds) / outDrift.fOverSeconds * 1e6;
        std::printf("PTS against PCR, PID %u: drift %+.1f ms over %.1f s (%+.1f ms in the "
                    "input), %+.1f ppm, %zu time stamps\n",
                    timing.nOutPid, outDrift.fSeconds * 1e3, outDrift.fOverSeconds,
                    in.fSeconds * 1e3, fPpm, outDrift.nCount);
        if (!(std::fabs(fPpm) <= kMaxDriftPpm)) {
            Fail("the output's PCRs drift against the presentation times");
        }
    }

    const double fRate = fSpanRate > 0 ? fSpanRate : fNominal;
    std::map<uint16_t, double> limits = {
        {kPidPat, kPatPmtMaxGapMs}, {kPidSdt, kSdtMaxGapMs}, {kPidNit, kNitMaxGapMs}};
    for (const tsr::Pmt* pPmt : vOutPrograms) {
        limits[pPmt->nPmtPid] = kPatPmtMaxGapMs;
    }
    for (const auto& [nPid, fLimitMs] : limits) {
        const tsr::Repetition repetition = out.GetRepetition(nPid, fRate);
        std::printf("PSI PID %u: %zu sections, max interval %.1f ms\n", nPid, repetition.nCount,
                    repetition.fMaxGapMs);
        if (repetition.nCount < 2 || repetition.fMaxGapMs > fLimitMs) {
            Fail("a PSI table is missing or repeated too rarely");
        }
    }

    std::printf("checks failed: %d\n", g_nFailures);
    return g_nFailures == 0 ? 0 : 1;
}
