#include "ReadyWaits.h"

#include "CCommandLine.h"
#include "CConsole.h"
#include "CSignalStop.h"
#include "ExitStatus.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The engine's wait is taken in slices this long, so that a signal ends it.
constexpr int kSliceMs = 50;
// How main sleeps between looks at the rates.
constexpr auto kRatePoll = std::chrono::milliseconds(5);
// After the first rate of such an input, PCRs gathered this much longer
// before the rate is taken: a stretch of a VBR stream is not its rate.
constexpr auto kRateSettle = std::chrono::milliseconds(500);

std::string Seconds(double f)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "%g", f);
    return sz;
}

int StoppedBeforeOutput(int nSignal, const CCommandLine& cmd, CConsole& console)
{
    console.Error(std::string("stopped by ") + CSignalStop::Name(nSignal) + " before " +
                  cmd.sOutput + " was opened");
    return kExitSignalBase + nSignal;
}

// Until every input knows its programs, one never will, or (files all
// ready) the limit. kExitOk or the status with its message written.
int WaitForPrograms(CMuxIface& mux, const std::vector<CRunInput>& inputs, const CCommandLine& cmd,
                    Clock::time_point tLimit, CConsole& console)
{
    for (;;) {
        if (const int nSignal = CSignalStop::GetSignal(); nSignal != 0) {
            return StoppedBeforeOutput(nSignal, cmd, console);
        }
        if (mux.WaitForInputs(kSliceMs) == int(inputs.size())) {
            return kExitOk;
        }
        bool bFilesReady = true;
        for (const CRunInput& input : inputs) {
            if (input.pModule->CanNeverBeReady()) {
                console.Error(input.sPath +
                              ": no programs found (no PAT, or its PMTs are missing)");
                return kExitIo;
            }
            bFilesReady = bFilesReady && (input.bStream || input.pModule->IsReady());
        }
        if (bFilesReady && Clock::now() >= tLimit) {
            return kExitOk;
        }
    }
}

// Until every ready stream input has a rate from its PCRs (none is needed
// with --rate) and a while more, or the limit.
int WaitForStreamRates(std::vector<CRunInput>& inputs, const CCommandLine& cmd,
                       Clock::time_point tLimit, CConsole& console)
{
    // Files were rated before they were opened: nothing to wait for.
    if (std::none_of(inputs.begin(), inputs.end(),
                     [](const CRunInput& input) { return input.bStream; })) {
        return kExitOk;
    }
    auto tSettled = Clock::time_point::max();
    for (;;) {
        if (const int nSignal = CSignalStop::GetSignal(); nSignal != 0) {
            return StoppedBeforeOutput(nSignal, cmd, console);
        }
        const CRunInput* pMissing = nullptr;
        for (const CRunInput& input : inputs) {
            if (input.bStream && cmd.llRateBps == 0 && input.pModule->IsReady() &&
                input.pModule->GetBitRate() <= 0) {
                pMissing = &input;
                break;
            }
        }
        const auto tNow = Clock::now();
        if (pMissing == nullptr && tSettled == Clock::time_point::max()) {
            tSettled = cmd.llRateBps == 0 ? tNow + kRateSettle : tNow;
        }
        if (pMissing == nullptr && tNow >= tSettled) {
            break;
        }
        if (pMissing != nullptr && tNow >= tLimit) {
            console.Error(pMissing->sPath + ": no bit rate from its PCRs within " +
                          Seconds(cmd.fStartWait) + " s (give --rate)");
            return kExitIo;
        }
        std::this_thread::sleep_for(kRatePoll);
    }
    for (CRunInput& input : inputs) {
        if (input.bStream && input.pModule->IsReady()) {
            input.nRate = input.pModule->GetBitRate();
            if (input.nRate > 0) {
                console.Detail(input.sPath + ": " + std::to_string(input.nRate) +
                               " bit/s from its PCRs");
            }
        }
    }
    return kExitOk;
}

} // namespace

int WaitForInputs(CMuxIface& mux, std::vector<CRunInput>& inputs, const CCommandLine& cmd,
                  CConsole& console)
{
    const auto tLimit =
        Clock::now() + std::chrono::microseconds(std::llround(cmd.fStartWait * 1e6));
    if (int nStatus = WaitForPrograms(mux, inputs, cmd, tLimit, console); nStatus != kExitOk) {
        return nStatus;
    }
    if (int nStatus = WaitForStreamRates(inputs, cmd, tLimit, console); nStatus != kExitOk) {
        return nStatus;
    }
    const bool bAnyReady = std::any_of(inputs.begin(), inputs.end(), [](const CRunInput& input) {
        return input.pModule->IsReady();
    });
    int nStatus = kExitOk;
    for (CRunInput& input : inputs) {
        if (input.pModule->IsReady()) {
            if (input.pModule->GetProgramCount() <= 0) {
                console.Error(input.sPath + ": no programs found (empty PAT)");
                return kExitIo;
            }
            continue;
        }
        const std::string sWithin = " in " + Seconds(cmd.fStartWait) + " s";
        const std::string sWhy = input.pModule->GetPacketsReceived() == 0
                                     ? "nothing received" + sWithin
                                     : "no programs" + sWithin + " (no PAT and PMT)";
        // Output time waits for every input: its bytes must not depend on
        // when a writer came.
        if (!bAnyReady || cmd.bFast) {
            console.Error(input.sPath + ": " + sWhy);
            nStatus = kExitIo;
            continue;
        }
        input.bJoining = true;
        console.Note(input.sPath + ": " + sWhy + "; its programs join when they come" +
                     (cmd.llRateBps == 0 ? " (its rate is not in the output rate: give --rate)"
                                         : ""));
    }
    return nStatus;
}
