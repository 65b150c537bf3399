#include "MuxConfig.h"

#include "CCommandLine.h"
#include "CConsole.h"
#include "ExitStatus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr double kRateUnit = 1024.0 * 1024.0; // bit/s per unit of the output rate
// What a rate the user did not fix leaves content after content, tables and
// stuffing: the larger of these, so that bursts of VBR inputs have room.
constexpr long long kMinHeadroomBps = 500'000;
constexpr long long kHeadroomPercent = 5;
constexpr int kRateRounds = 8; // the tables' rate grows with the output's: a few rounds settle it

std::string FormatRate(double fBitRate)
{
    char sz[64];
    std::snprintf(sz, sizeof sz, "%.10g", fBitRate);
    return sz;
}

} // namespace

COutputRate ChooseRate(const CCommandLine& cmd, const std::vector<CRunInput>& inputs,
                       CConsole& console)
{
    COutputRate rate;
    if (cmd.llRateBps > 0) {
        rate.llRateBps = cmd.llRateBps;
        rate.fBitRate = double(rate.llRateBps);
    } else {
        // Each input's share in rate units, plus one unit for tables and stuffing.
        double fSum = 0;
        for (const CRunInput& input : inputs) {
            fSum += double(std::max(input.nRate, 0)) / kRateUnit;
        }
        rate.fRate = float(fSum + 1);
        rate.fBitRate = double(rate.fRate) * kRateUnit;
    }
    char szLine[64];
    std::snprintf(szLine, sizeof szLine, "mux_rate=%.2f\n", rate.fBitRate / kRateUnit);
    console.Out(szLine);
    return rate;
}

CMuxIface* CreateMux(const CCommandLine& cmd)
{
    CMuxIface* pMux = new CMuxIface();
    pMux->SetCaPass(cmd.bCaPass);
    return pMux;
}

int ConfigureMux(CMuxIface& mux, const CCommandLine& cmd, const std::vector<CRunInput>& inputs,
                 COutputRate& rate, CConsole& console)
{
    CMuxIface* pMux = &mux;
    // The command line has refused every clash already.
    for (size_t i = 0; i < inputs.size(); ++i) {
        for (const CProgramPick& pick : inputs[i].vPrograms) {
            if (pick.nOut > 0) {
                pMux->SetOutputProgramNumber(int(i + 1), pick.nIn, pick.nOut);
            }
        }
    }
    // What the tables say first, and how often the SDT and NIT go: how
    // much they take depends on it.
    if (cmd.nTsId >= 0) {
        pMux->SetTransportStreamId(cmd.nTsId);
    }
    if (cmd.nOnid >= 0) {
        pMux->SetOriginalNetworkId(cmd.nOnid);
    }
    if (cmd.nNetworkId >= 0) {
        pMux->SetNetworkId(cmd.nNetworkId);
    }
    if (cmd.bNetworkName) {
        pMux->SetNetworkName(cmd.sNetworkName.c_str());
    }
    pMux->SetServiceNames(cmd.bInputServiceNames);
    pMux->SetSdtInterval(cmd.nSdtIntervalMs);
    pMux->SetNitInterval(cmd.nNitIntervalMs);

    if (cmd.llRateBps > 0) {
        // At that rate: the SDT and NIT may repeat less often there.
        pMux->SetOutputBitRateBps(cmd.llRateBps);
        const long long llTables = pMux->GetTableBitRate();
        if (llTables >= cmd.llRateBps) {
            console.Error("bad value for --rate: " + std::to_string(cmd.llRateBps) +
                          " (the tables alone need " + std::to_string(llTables) +
                          " bit/s; give more)");
            return kExitUsage;
        }
    } else {
        // The rate of the inputs plus one unit, unless content would then
        // have less headroom than it needs after the tables, which at a
        // higher rate may take more (the SDT and NIT repeat more often).
        long long llContent = 0;
        for (const CRunInput& input : inputs) {
            llContent += input.nRate > 0 ? input.nRate : 0;
        }
        const long long llHeadroom =
            std::max(kMinHeadroomBps, llContent * kHeadroomPercent / 100);
        const long long llDesign = std::llround(rate.fBitRate);
        pMux->SetOutputBitRate(rate.fRate);
        long long llRate = llDesign;
        long long llTables = pMux->GetTableBitRate();
        for (int nRound = 0; nRound < kRateRounds && llTables >= 0; ++nRound) {
            const long long llNeed = llContent + llTables + llHeadroom;
            if (llNeed <= llRate) {
                break;
            }
            llRate = llNeed;
            pMux->SetOutputBitRateBps(llRate);
            llTables = pMux->GetTableBitRate();
        }
        if (llRate > llDesign) {
            rate.llRateBps = llRate;
            rate.fBitRate = double(llRate);
            console.Note("the tables need " + std::to_string(llTables) + " bit/s and content " +
                         std::to_string(llHeadroom) + " bit/s of headroom; output rate raised by " +
                         std::to_string(llRate - llDesign) + " bit/s");
        }
    }
    if (rate.llRateBps > 0) {
        // The unit rate too, for an engine that takes no exact rate.
        pMux->SetOutputBitRate(float(double(rate.llRateBps) / kRateUnit));
        pMux->SetOutputBitRateBps(rate.llRateBps);
    } else {
        pMux->SetOutputBitRate(rate.fRate);
    }
    console.Note("output rate " + FormatRate(rate.fBitRate) + " bit/s");
    pMux->SetVirtualClock(cmd.bFast);
    // A file that starts again has no end; --duration or a signal ends it.
    if (cmd.fDuration > 0) {
        pMux->SetDuration(cmd.fDuration);
    }
    if (cmd.nRealtimePriority > 0) {
        pMux->SetRealtimePriority(cmd.nRealtimePriority);
    }
    // The inputs were waited for: Run starts with those that are ready.
    pMux->SetStartWaitMs(0);
    if (cmd.fInputTimeout > 0 && !cmd.bInputTimeoutEnds) {
        pMux->SetInputTimeoutMs(int(std::lround(cmd.fInputTimeout * 1000)));
    }
    return kExitOk;
}
