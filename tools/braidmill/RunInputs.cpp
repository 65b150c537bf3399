#include "RunInputs.h"

#include "CCommandLine.h"
#include "CConsole.h"
#include "CPcrRateScanner.h"
#include "ExitStatus.h"
#include "IoNames.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kReadBufferSize = 4096 * 188; // packets per read: large reads, little memory
constexpr std::chrono::seconds kShareWait{5}; // for the share of an input's chosen programs

// Starts the reader of an input on a new input module. False with the
// reason when it fails.
bool OpenInput(CRunInput& input, const CCommandLine& cmd, CMuxIface& mux, std::string& sReason)
{
    input.pModule = new CInputModuleIface();
    mux.AddInputModule(input.pModule);
    _SOURCE_ATTRIBUTE attr = {};
    attr.bNoTiming = 0;
    attr.nTimingMode = 0; // paced by the input's own PCRs
    input.pModule->SetSourceAttribute(attr);
    input.pModule->SetLive(input.bLive);
    std::vector<int> vChosen;
    for (const CProgramPick& pick : input.vPrograms) {
        vChosen.push_back(pick.nIn);
    }
    input.pModule->ChoosePrograms(vChosen);
    errno = 0;
    input.pSource = OpenInputByName(input.sPath.c_str(), input.pModule, kReadBufferSize, sReason);
    if (input.pSource == nullptr) {
        return false;
    }
    // With --input-timeout-ends a network input's own timeout ends it, and
    // the run with it; otherwise the engine takes a silent input as down.
    const int nTimeoutMs =
        cmd.bInputTimeoutEnds ? int(std::lround(cmd.fInputTimeout * 1000)) : 0;
    if (auto* pUdp = dynamic_cast<CSourceUdp*>(input.pSource)) {
        pUdp->SetTimeoutMs(nTimeoutMs);
    } else if (auto* pSrt = dynamic_cast<CSourceSrt*>(input.pSource)) {
        pSrt->SetTimeoutMs(nTimeoutMs);
    }
    if (auto* pFile = dynamic_cast<CSourceFile*>(input.pSource)) {
        pFile->SetLoop(cmd.bLoop);
    }
    input.pSource->StartRead();
    return true;
}

} // namespace

std::vector<CRunInput> MakeInputs(const CCommandLine& cmd)
{
    std::vector<CRunInput> inputs;
    for (size_t i = 0; i < cmd.vInputs.size(); ++i) {
        const std::string& sPath = cmd.vInputs[i];
        CRunInput input;
        input.sPath = sPath;
        input.vPrograms = i < cmd.vPrograms.size() ? cmd.vPrograms[i] : std::vector<CProgramPick>();
        input.bStream = IsStreamName(sPath.c_str());
        // A pipe or a FIFO is not live: it gives what a file would, at the
        // writer's pace.
        input.bLive = IsNetworkName(sPath.c_str());
        inputs.push_back(input);
    }
    return inputs;
}

int EstimateRate(const std::string& sPath, CConsole& console)
{
    CPcrRateScanner scanner;
    const CPcrRateScanner::Result result = scanner.Scan(sPath.c_str());
    const int nPacketSize = scanner.GetPacketSize();
    if (nPacketSize > 0 && nPacketSize != 188) {
        console.Note(sPath + ": " + std::to_string(nPacketSize) + "-byte packets, read as 188");
    }
    if (result != CPcrRateScanner::Result::kOk) {
        console.Error(sPath + ": " + scanner.Describe(result));
        return -1;
    }
    if (scanner.IsFromStart()) {
        return scanner.GetBitRate();
    }
    char szNote[256];
    std::snprintf(szNote, sizeof szNote,
                  "no bit rate from the start of the file; %d bit/s estimated from %.1f s of PCRs "
                  "on PID 0x%04X",
                  scanner.GetBitRate(), scanner.GetMeasuredSeconds(),
                  unsigned(scanner.GetPcrPid()));
    console.Note(sPath + ": " + szNote);
    return scanner.GetBitRate();
}

int RateFileInputs(std::vector<CRunInput>& inputs, const CCommandLine& cmd, CConsole& console)
{
    for (CRunInput& input : inputs) {
        if (input.bStream) {
            continue; // read once: its rate comes from what its reader has seen
        }
        // With --rate an input's own rate is only reported: one without
        // usable PCRs is still muxed, paced at its estimated rate.
        if (cmd.llRateBps > 0) {
            input.nRate = GetSourceRate(input.sPath.c_str());
        } else {
            input.nRate = EstimateRate(input.sPath, console);
            if (input.nRate < 0) {
                return kExitIo;
            }
        }
        if (input.nRate > 0) {
            console.Detail(input.sPath + ": " + std::to_string(input.nRate) + " bit/s");
        }
    }
    return kExitOk;
}

int OpenInputs(std::vector<CRunInput>& inputs, const CCommandLine& cmd, CMuxIface& mux,
               CConsole& console)
{
    std::string sReason;
    for (CRunInput& input : inputs) {
        if (!OpenInput(input, cmd, mux, sReason)) {
            console.Error(sReason);
            return kExitIo;
        }
    }
    return kExitOk;
}

void ScaleToChosenPrograms(std::vector<CRunInput>& inputs, CConsole& console)
{
    for (CRunInput& input : inputs) {
        if (input.vPrograms.empty() || input.nRate <= 0 || !input.pModule->IsReady()) {
            continue;
        }
        // The reader gets there without the muxer; a stalled pipe may not.
        double fShare = -1;
        for (auto tGiveUp = std::chrono::steady_clock::now() + kShareWait;
             (fShare = input.pModule->GetProgramShare()) < 0 &&
             std::chrono::steady_clock::now() < tGiveUp;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (fShare < 0) {
            continue;
        }
        const int nWhole = input.nRate;
        input.nRate = int(std::lround(nWhole * fShare));
        console.Detail(input.sPath + ": " + std::to_string(input.nRate) + " bit/s of its " +
                       std::to_string(nWhole) + " in the programs chosen");
    }
}

void ReleaseInputs(std::vector<CRunInput>& inputs)
{
    for (CRunInput& input : inputs) {
        if (input.pModule) {
            input.pModule->AbortWait();
        }
    }
    for (CRunInput& input : inputs) {
        delete input.pSource;
        input.pSource = nullptr;
    }
    for (CRunInput& input : inputs) {
        delete input.pModule;
        input.pModule = nullptr;
    }
}
