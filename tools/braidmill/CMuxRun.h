#pragma once

#include "CMetricsServer.h"
#include "CRunStats.h"
#include "CSignalStop.h"
#include "CWatchedSink.h"
#include "ExitStatus.h"
#include "MuxConfig.h"
#include "RunInputs.h"

#include <braidmill.h>

#include <memory>
#include <vector>

class CCommandLine;
class CConsole;

// One multiplex from a parsed command line, as a sequence: checks the files,
// rates and opens the inputs, waits until they are usable, configures the
// engine, opens the output, runs the engine with a watcher beside it and
// reports. Owned by main, used on its thread; the watcher is joined before
// Execute returns.
class CMuxRun
{
public:
    CMuxRun(const CCommandLine& cmd, CConsole& console);
    ~CMuxRun();
    CMuxRun(const CMuxRun&) = delete;
    CMuxRun& operator=(const CMuxRun&) = delete;

    int Execute();

private:
    // Everything up to the moment the engine may run: the output open and
    // the engine configured.
    int Start();
    // Everything up to the moment the output may be opened.
    int Prepare();
    // The engine's run, the watcher beside it, and the report.
    int RunToEnd();
    // Serves the metrics from here on, when asked for.
    int OpenMetrics();

    const CCommandLine& m_cmd;
    CConsole& m_console;
    std::vector<CRunInput> m_vInputs;
    CSignalStop m_signals;
    CMuxIface* m_pMux = nullptr;
    std::unique_ptr<CWatchedSink> m_pSink; // null until the output is opened
    std::unique_ptr<COutPutModuleBase>
        m_pEarlyOutput; // standard output: opened first, so nothing else lands there
    CRunStats m_stats;
    COutputRate m_rate;
    std::unique_ptr<CMetricsServer> m_pMetrics; // null without --metrics
    bool m_bStatsStarted = false; // the statistics file was written: a failure says so there
};
