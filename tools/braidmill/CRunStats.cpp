#include "CRunStats.h"

#include "CCommandLine.h"
#include "CConsole.h"
#include "CWatchedSink.h"

#include <cerrno>
#include <cstring>

CRunStats::CRunStats(const CCommandLine& cmd, const std::vector<CRunInput>& inputs,
                     CConsole& console)
    : m_cmd(cmd), m_vInputs(inputs), m_console(console)
{
}

void CRunStats::Start(double fBitRate, const CWatchedSink& sink, CMuxIface& mux)
{
    if (!m_cmd.sStatsPath.empty()) {
        m_pFile = std::make_unique<CStatsFile>(m_cmd.sStatsPath);
    }
    m_fBitRate = fBitRate;
    m_pSink = &sink;
    m_pMux = &mux;
    m_tStart = std::chrono::steady_clock::now();
}

void CRunStats::Write(const char* szState, const _MUX_STATS* pFinal)
{
    if (!m_pFile) {
        return;
    }
    CStatsFile::Run run;
    run.sOutput = m_cmd.sOutput;
    run.fBitRate = m_fBitRate;
    run.llPacketsWritten = m_pSink ? m_pSink->GetPackets() : 0;
    run.fElapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_tStart).count();
    run.sState = szState;
    for (const CRunInput& input : m_vInputs) {
        run.vInputs.push_back(input.sPath);
        run.vEstimatedRates.push_back(input.nRate);
    }
    _MUX_STATS stats;
    const bool bFigures = pFinal != nullptr || (m_pMux != nullptr && m_pMux->GetStats(stats));
    if (!m_pFile->Write(run, pFinal != nullptr ? pFinal
                             : bFigures        ? &stats
                                               : nullptr) &&
        !m_bFailed) {
        m_bFailed = true;
        m_console.Error("cannot write statistics file " + m_cmd.sStatsPath + ": " +
                        std::strerror(errno));
    }
}
