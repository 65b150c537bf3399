#include "RunReport.h"

#include "CConsole.h"
#include "CRunStats.h"
#include "CSignalStop.h"
#include "CWatchedSink.h"
#include "ExitStatus.h"

namespace {

std::string Written(long long llPackets, const std::string& sOutput)
{
    return std::to_string(llPackets) + " packets (" + std::to_string(llPackets * kPacketBytes) +
           " bytes) written to " + sOutput;
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
    ReleaseInputs(inputs);
    sink.Destroy(); // closes the file, so that a failing close is seen too
    const bool bBroken = sink.IsBroken();
    const int nSignal = CSignalStop::GetSignal();
    long long llLost = 0;
    if (bFigures) {
        for (const _MUX_INPUT_STATS& in : figures.vInputs) {
            llLost += in.llDropped + in.llLate;
        }
    }

    // The figures taken before the inputs went: the engine reads them live.
    stats.Write(bBroken || bFailed ? "failed"
                : nSignal != 0     ? "stopped"
                                   : "finished",
                bFigures ? &figures : nullptr);
    if (bFailed) {
        console.Error(sOut + ": the multiplex could not be started");
        return kExitIo;
    }
    if (bBroken) {
        console.Error(sOut + ": writing the output failed (disk full or I/O error); " +
                      Written(sink.GetPackets(), sOut));
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
                       std::to_string(figures.llTableSlots) + " table packets");
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
    if (llLost > 0) {
        console.Error(std::to_string(llLost) + " input packet(s) dropped or late in " + sOut);
    }
    return nOmitted > 0 || llLost > 0 ? kExitIncomplete : kExitOk;
}
