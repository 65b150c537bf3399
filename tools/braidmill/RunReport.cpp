#include "RunReport.h"

#include "CConsole.h"
#include "CRunStats.h"
#include "CSignalStop.h"
#include "CWatchedSink.h"
#include "ExitStatus.h"

#include <cerrno>
#include <cstdio>

namespace {

constexpr size_t kLateProgramLines = 10; // programs named one by one; the rest counted

std::string Written(long long llPackets, const std::string& sOutput)
{
    return std::to_string(llPackets) + " packets (" + std::to_string(llPackets * kPacketBytes) +
           " bytes) written to " + sOutput;
}

std::string Ms(int nMicros)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.1f ms", nMicros / 1000.0);
    return sz;
}

// What was lost or came too late, by input and by program; the count of
// such packets (0: nothing to say).
long long ReportLoss(const _MUX_STATS& figures, const std::vector<CRunInput>& inputs,
                     CConsole& console)
{
    long long llLost = 0;
    for (size_t i = 0; i < figures.vInputs.size(); ++i) {
        const long long llDropped = figures.vInputs[i].llDropped;
        llLost += llDropped + figures.vInputs[i].llLate;
        if (llDropped > 0) {
            console.Error("input " + std::to_string(i + 1) + " (" +
                          (i < inputs.size() ? inputs[i].sPath : std::string("?")) +
                          "): dropped " + std::to_string(llDropped) +
                          " packet(s) that found its queue full");
        }
    }
    size_t nLatePrograms = 0;
    for (const _MUX_PROGRAM_STATS& program : figures.vPrograms) {
        if (program.llLate <= 0) {
            continue;
        }
        if (++nLatePrograms > kLateProgramLines) {
            continue;
        }
        const std::string sMargin =
            program.nMarginUs < 0 ? "no decoding margin known yet"
                                  : "a decoding margin of " + Ms(program.nMarginUs);
        console.Error("program " + std::to_string(program.nProgramNumber) + " (input " +
                      std::to_string(program.nInput) + "): late " +
                      std::to_string(program.llLate) +
                      ": packets may reach its decoders after their time; largest delay " +
                      Ms(program.nMaxDelayUs) + " against " + sMargin);
    }
    if (nLatePrograms > kLateProgramLines) {
        console.Error("and " + std::to_string(nLatePrograms - kLateProgramLines) +
                      " more program(s) with late packets (--stats lists them all)");
    }
    return llLost;
}

} // namespace

int ReportRun(CMuxIface& mux, std::vector<CRunInput>& inputs, CWatchedSink& sink, CRunStats& stats,
              const std::string& sOut, CConsole& console)
{
    _MUX_STATS figures;
    const bool bFigures = mux.GetStats(figures);
    const int nOmitted = mux.GetOmittedProgramCount();
    int nOmittedInput = 0;
    int nOmittedProgram = 0;
    const bool bFirstOmitted = mux.GetOmittedProgram(0, nOmittedInput, nOmittedProgram);
    const bool bFailed = mux.IsFailed();
    // The engine reads the inputs' figures live: nobody may ask it once they go.
    stats.Freeze(bFigures ? &figures : nullptr);
    ReleaseInputs(inputs);
    sink.Destroy(); // closes the file, so that a failing close is seen too
    const bool bBroken = sink.IsBroken();
    const int nSignal = CSignalStop::GetSignal();

    stats.Write(bBroken || bFailed ? "failed" : nSignal != 0 ? "stopped" : "finished");
    if (bFailed) {
        // The engine's reason went to the log; an error belongs here too.
        const std::string sWhy = console.TakeLibraryError();
        console.Error(sOut + ": the multiplex could not be started" +
                      (sWhy.empty() ? "" : " (" + sWhy + ")"));
        return kExitIo;
    }
    if (bBroken) {
        console.Error(
            sOut + ": writing the output failed (" +
            (sink.GetErrno() == EPIPE ? "its reader closed the pipe" : "disk full or I/O error") +
            "); " + Written(sink.GetPackets(), sOut));
        return kExitIo;
    }
    if (nSignal != 0) {
        console.Error(std::string("stopped by ") + CSignalStop::Name(nSignal) + ": " +
                      Written(sink.GetPackets(), sOut));
        return kExitSignalBase + nSignal;
    }
    if (stats.HasFailed()) {
        return kExitIo;
    }
    console.Out("mux finish!\n");
    if (bFigures) {
        console.Detail(Written(sink.GetPackets(), sOut) + ", " +
                       std::to_string(figures.llNullSlots) + " null, " +
                       std::to_string(figures.llTableSlots) + " table packets (SDT every " +
                       std::to_string(figures.nSdtIntervalMs) + " ms, NIT every " +
                       std::to_string(figures.nNitIntervalMs) + " ms), " +
                       std::to_string(figures.llPcrsInserted) + " PCR-only packets added");
        for (const _MUX_PROGRAM_STATS& program : figures.vPrograms) {
            console.Detail("program " + std::to_string(program.nProgramNumber) + " (input " +
                           std::to_string(program.nInput) + "): largest delay " +
                           Ms(program.nMaxDelayUs) + ", decoding margin " +
                           (program.nMarginUs < 0 ? std::string("not known")
                                                  : Ms(program.nMarginUs)));
        }
    }
    if (nOmitted > 0) {
        std::string sFirst;
        if (bFirstOmitted) {
            sFirst = "; the first is input " + std::to_string(nOmittedInput) + " program " +
                     std::to_string(nOmittedProgram);
        }
        console.Error(std::to_string(nOmitted) + " program(s) left out of " + sOut +
                      ": PIDs or program numbers ran out" + sFirst);
    }
    const long long llLost = bFigures ? ReportLoss(figures, inputs, console) : 0;
    return nOmitted > 0 || llLost > 0 ? kExitIncomplete : kExitOk;
}
