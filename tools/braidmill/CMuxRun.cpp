#include "CMuxRun.h"

#include "CCommandLine.h"
#include "CConsole.h"
#include "CMetricsText.h"
#include "CProgressLine.h"
#include "CRunWatcher.h"
#include "FileChecks.h"
#include "IoNames.h"
#include "ReadyWaits.h"
#include "RunReport.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

CMuxRun::CMuxRun(const CCommandLine& cmd, CConsole& console)
    : m_cmd(cmd), m_console(console), m_vInputs(MakeInputs(cmd)), m_stats(cmd, console)
{
    m_stats.SetInputs(m_vInputs);
}

CMuxRun::~CMuxRun()
{
    // It reads the sink and, through the figures, the engine.
    if (m_pMetrics) {
        m_pMetrics->Stop();
    }
    // The library's order: sources, input modules, sink, engine.
    ReleaseInputs(m_vInputs);
    m_pSink.reset();
    delete m_pMux;
}

int CMuxRun::Prepare()
{
    if (int nStatus = CheckFiles(m_cmd, m_vInputs, m_console); nStatus != kExitOk) {
        return nStatus;
    }
    if (int nStatus = OpenMetrics(); nStatus != kExitOk) {
        return nStatus;
    }
    // From the start, so that a monitor never reads a previous run's end.
    if (!m_stats.Write("running")) {
        return kExitIo;
    }
    m_bStatsStarted = true;
    if (int nStatus = RateFileInputs(m_vInputs, m_cmd, m_console); nStatus != kExitOk) {
        return nStatus;
    }
    if (!m_signals.Install()) {
        m_console.Error(std::string("cannot install the signal handlers: ") + std::strerror(errno));
        return kExitIo;
    }
    m_pMux = CreateMux(m_cmd);
    if (int nStatus = OpenInputs(m_vInputs, m_cmd, *m_pMux, m_console); nStatus != kExitOk) {
        return nStatus;
    }
    if (int nStatus = WaitForInputs(*m_pMux, m_vInputs, m_cmd, m_console); nStatus != kExitOk) {
        return nStatus;
    }
    m_stats.SetInputs(m_vInputs);
    ScaleToChosenPrograms(m_vInputs, m_console);
    m_rate = ChooseRate(m_cmd, m_vInputs, m_console);
    return kExitOk;
}

int CMuxRun::OpenMetrics()
{
    if (m_cmd.sMetrics.empty()) {
        return kExitOk;
    }
    m_pMetrics = std::make_unique<CMetricsServer>([this] {
        CStatsFile::Run run;
        _MUX_STATS stats;
        const bool bFigures = m_stats.Snapshot("running", run, stats);
        return CMetricsText::Format(run, bFigures ? &stats : nullptr);
    });
    std::string sError;
    if (!m_pMetrics->Open(m_cmd.sMetrics, sError)) {
        m_console.Error(sError);
        return kExitIo;
    }
    m_console.Note("metrics at http://" + m_pMetrics->GetBoundAddress() + "/metrics");
    m_pMetrics->Start();
    return kExitOk;
}

int CMuxRun::Execute()
{
    std::string sReason;
    if (IsStdoutName(m_cmd.sOutput.c_str())) {
        // Before the first line: from here on standard output carries the
        // multiplex alone, every line goes to standard error.
        m_pEarlyOutput.reset(OpenOutputByName(m_cmd.sOutput.c_str(), sReason));
        if (!m_pEarlyOutput) {
            m_console.Error(sReason);
            return kExitIo;
        }
    }
    m_console.Attach(); // the library's lines go through the console from the first one
    if (const int nStatus = Start(); nStatus != kExitOk) {
        // A monitor must not read "running" from a run that never ran.
        if (m_bStatsStarted) {
            m_stats.Write(nStatus >= kExitSignalBase ? "stopped" : "failed");
        }
        return nStatus;
    }
    return RunToEnd();
}

int CMuxRun::Start()
{
    if (int nStatus = Prepare(); nStatus != kExitOk) {
        return nStatus;
    }
    if (int nStatus = ConfigureMux(*m_pMux, m_cmd, m_vInputs, m_rate, m_console); nStatus != kExitOk) {
        return nStatus;
    }
    std::unique_ptr<COutPutModuleBase> pOutput = std::move(m_pEarlyOutput);
    std::string sReason;
    if (!pOutput) {
        pOutput.reset(OpenOutputByName(m_cmd.sOutput.c_str(), sReason));
    }
    if (!pOutput) {
        m_console.Error(sReason);
        return kExitIo;
    }
    SetOutputRate(pOutput.get(), std::llround(m_rate.fBitRate));
    m_pSink = std::make_unique<CWatchedSink>(std::move(pOutput));
    m_pMux->SetOutPutModule(m_pSink.get());
    return kExitOk;
}

int CMuxRun::RunToEnd()
{
    CProgressLine progress(m_console);
    progress.Start([this] { return m_pSink->GetPackets() * kPacketBytes; }, m_rate.fBitRate);
    m_stats.Start(m_rate.fBitRate, *m_pSink, *m_pMux);
    CRunWatcher watcher(m_signals, *m_pSink, *m_pMux, m_vInputs, m_stats, m_cmd.fDuration,
                        m_rate.fBitRate, m_cmd.bInputTimeoutEnds);
    watcher.Start();
    m_console.TakeLibraryError(); // from here on an error is the engine's
    m_pMux->Run();
    if (!m_pMux->IsFailed()) {
        m_pMux->WaitFinish();
    }
    watcher.Join();
    progress.Stop();
    return ReportRun(*m_pMux, m_vInputs, *m_pSink, m_stats, m_cmd.sOutput, m_console);
}
