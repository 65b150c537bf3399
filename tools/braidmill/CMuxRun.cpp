#include "CMuxRun.h"

#include "CCommandLine.h"
#include "CConsole.h"
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
    : m_cmd(cmd), m_console(console), m_vInputs(MakeInputs(cmd)), m_stats(cmd, m_vInputs, console)
{
}

CMuxRun::~CMuxRun()
{
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
    if (int nStatus = RateFileInputs(m_vInputs, m_cmd, m_console); nStatus != kExitOk) {
        return nStatus;
    }
    if (!m_signals.Install()) {
        m_console.Error(std::string("cannot install the signal handlers: ") + std::strerror(errno));
        return kExitIo;
    }
    if (int nStatus = OpenInputs(m_vInputs, m_cmd, m_console); nStatus != kExitOk) {
        return nStatus;
    }
    if (int nStatus = WaitForStreamRates(m_vInputs, m_cmd, m_console); nStatus != kExitOk) {
        return nStatus;
    }
    m_rate = ChooseRate(m_cmd, m_vInputs, m_console);
    return WaitForPrograms(m_vInputs, m_cmd, m_console);
}

int CMuxRun::Execute()
{
    std::string sReason;
    if (IsStdName(m_cmd.sOutput.c_str())) {
        // Before the first line: from here on standard output carries the
        // multiplex alone, every line goes to standard error.
        m_pEarlyOutput.reset(OpenOutputByName(m_cmd.sOutput.c_str(), sReason));
        if (!m_pEarlyOutput) {
            m_console.Error(sReason);
            return kExitIo;
        }
    }
    m_console.Attach(); // the library's lines go through the console from the first one
    if (int nStatus = Prepare(); nStatus != kExitOk) {
        return nStatus;
    }
    m_pMux = ConfigureMux(m_cmd, m_vInputs, m_rate, m_console);
    std::unique_ptr<COutPutModuleBase> pOutput = std::move(m_pEarlyOutput);
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

    CProgressLine progress(m_console);
    progress.Start([this] { return m_pSink->GetPackets() * kPacketBytes; }, m_rate.fBitRate);
    m_stats.Start(m_rate.fBitRate, *m_pSink, *m_pMux);
    CRunWatcher watcher(m_signals, *m_pSink, *m_pMux, m_vInputs, m_stats, m_cmd.fDuration,
                        m_rate.fBitRate);
    watcher.Start();
    m_pMux->Run();
    if (!m_pMux->IsFailed()) {
        m_pMux->WaitFinish();
    }
    watcher.Join();
    progress.Stop();
    return ReportRun(*m_pMux, m_vInputs, *m_pSink, m_stats, m_cmd.sOutput, m_console);
}
