#include "MuxConfig.h"

#include "CCommandLine.h"
#include "CConsole.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr double kRateUnit = 1024.0 * 1024.0;  // bit/s per unit of the output rate
constexpr long long kTableAllowance = 524'288; // bit/s of the rate's extra unit kept for tables

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
            fSum += double(input.nRate) / kRateUnit;
        }
        rate.fRate = float(fSum + 1);
        rate.fBitRate = double(rate.fRate) * kRateUnit;
    }
    char szLine[64];
    std::snprintf(szLine, sizeof szLine, "mux_rate=%.2f\n", rate.fBitRate / kRateUnit);
    console.Out(szLine);
    return rate;
}

CMuxIface* ConfigureMux(const CCommandLine& cmd, const std::vector<CRunInput>& inputs,
                        COutputRate& rate, CConsole& console)
{
    CMuxIface* pMux = new CMuxIface();
    for (const CRunInput& input : inputs) {
        pMux->AddInputModule(input.pModule);
    }
    // The extra unit leaves kTableAllowance for the tables; many programs
    // need more, and a rate the user did not fix grows by the difference.
    const long long llTables = pMux->GetTableBitRate();
    if (cmd.llRateBps == 0 && llTables > kTableAllowance) {
        rate.llRateBps = std::llround(rate.fBitRate) + (llTables - kTableAllowance);
        console.Note("the tables need " + std::to_string(llTables) +
                     " bit/s; output rate raised by " + std::to_string(llTables - kTableAllowance) +
                     " bit/s");
        rate.fBitRate = double(rate.llRateBps);
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
    // A file that starts again has no end; --duration or a signal ends it.
    if (cmd.fDuration > 0) {
        pMux->SetDuration(cmd.fDuration);
    }
    pMux->SetServiceNames(cmd.bInputServiceNames);
    return pMux;
}
