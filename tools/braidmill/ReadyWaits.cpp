#include "ReadyWaits.h"

#include "CCommandLine.h"
#include "CConsole.h"
#include "CSignalStop.h"
#include "ExitStatus.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace {

// How long main sleeps between looks at the inputs while they analyse their tables.
constexpr auto kReadyPoll = std::chrono::milliseconds(5);
// How long an input read as it comes may take to show its programs and a
// rate; a network input without a sender fails here instead of waiting
// for ever.
constexpr auto kStreamWait = std::chrono::seconds(10);
// After the first rate of such an input, PCRs gathered this much longer
// before the rate is taken: a stretch of a VBR stream is not its rate.
constexpr auto kRateSettle = std::chrono::milliseconds(500);

int StoppedBeforeOutput(int nSignal, const CCommandLine& cmd, CConsole& console)
{
    console.Error(std::string("stopped by ") + CSignalStop::Name(nSignal) + " before " +
                  cmd.sOutput + " was opened");
    return kExitSignalBase + nSignal;
}

} // namespace

int WaitForStreamRates(std::vector<CRunInput>& inputs, const CCommandLine& cmd, CConsole& console)
{
    // Files were rated before they were opened: nothing to wait for.
    if (std::none_of(inputs.begin(), inputs.end(),
                     [](const CRunInput& input) { return input.bStream; })) {
        return kExitOk;
    }
    const auto tLimit = std::chrono::steady_clock::now() + kStreamWait;
    auto tSettled = std::chrono::steady_clock::time_point::max();
    for (;;) {
        const int nSignal = CSignalStop::GetSignal();
        if (nSignal != 0) {
            return StoppedBeforeOutput(nSignal, cmd, console);
        }
        const CRunInput* pMissing = nullptr;
        bool bNeedRate = false;
        for (const CRunInput& input : inputs) {
            if (!input.bStream) {
                continue;
            }
            if (input.pModule->CanNeverBeReady()) {
                return kExitOk; // said by the wait for the programs
            }
            // With --rate no input's rate is needed.
            if (!input.pModule->IsReady() ||
                (cmd.llRateBps == 0 && input.pModule->GetBitRate() <= 0)) {
                pMissing = &input;
                bNeedRate = input.pModule->IsReady();
                break;
            }
        }
        const auto tNow = std::chrono::steady_clock::now();
        if (pMissing == nullptr && tSettled == std::chrono::steady_clock::time_point::max()) {
            tSettled = cmd.llRateBps == 0 ? tNow + kRateSettle : tNow;
        }
        if (pMissing == nullptr && tNow >= tSettled) {
            break;
        }
        if (pMissing != nullptr && tNow >= tLimit) {
            console.Error(pMissing->sPath + ": " +
                          (bNeedRate ? "no bit rate from its PCRs within 10 s (give --rate)"
                                     : "no programs within 10 s (nothing received, or no PAT "
                                       "and PMT)"));
            return kExitIo;
        }
        std::this_thread::sleep_for(kReadyPoll);
    }
    for (CRunInput& input : inputs) {
        if (input.bStream) {
            input.nRate = input.pModule->GetBitRate();
            if (input.nRate > 0) {
                console.Detail(input.sPath + ": " + std::to_string(input.nRate) +
                               " bit/s from its PCRs");
            }
        }
    }
    return kExitOk;
}

int WaitForPrograms(const std::vector<CRunInput>& inputs, const CCommandLine& cmd,
                    CConsole& console)
{
    for (;;) {
        if (const int nSignal = CSignalStop::GetSignal(); nSignal != 0) {
            return StoppedBeforeOutput(nSignal, cmd, console);
        }
        bool bAllReady = true;
        for (const CRunInput& input : inputs) {
            if (input.pModule->CanNeverBeReady()) {
                console.Error(input.sPath +
                              ": no programs found (no PAT, or its PMTs are missing)");
                return kExitIo;
            }
            bAllReady = bAllReady && input.pModule->IsReady();
        }
        if (bAllReady) {
            break;
        }
        std::this_thread::sleep_for(kReadyPoll);
    }
    for (const CRunInput& input : inputs) {
        if (input.pModule->GetProgramCount() <= 0) {
            console.Error(input.sPath + ": no programs found (empty PAT)");
            return kExitIo;
        }
    }
    return kExitOk;
}
