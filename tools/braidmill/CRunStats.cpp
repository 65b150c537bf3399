#include "CRunStats.h"

#include "CCommandLine.h"
#include "CConsole.h"
#include "CWatchedSink.h"

#include <cerrno>
#include <cstring>

CRunStats::CRunStats(const CCommandLine& cmd, CConsole& console)
    : m_sOutput(cmd.sOutput), m_sPath(cmd.sStatsPath), m_console(console)
{
}

void CRunStats::SetInputs(const std::vector<CRunInput>& inputs)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    m_vPaths.clear();
    m_vRates.clear();
    for (const CRunInput& input : inputs) {
        m_vPaths.push_back(input.sPath);
        m_vRates.push_back(input.nRate);
    }
}

void CRunStats::Start(double fBitRate, const CWatchedSink& sink, CMuxIface& mux)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    m_fBitRate = fBitRate;
    m_pSink = &sink;
    m_pMux = &mux;
    m_bStarted = true;
    m_tStart = std::chrono::steady_clock::now();
}

void CRunStats::Freeze(const _MUX_STATS* pFinal)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    m_pMux = nullptr;
    m_bFrozen = true;
    m_bFinal = pFinal != nullptr;
    if (pFinal != nullptr) {
        m_final = *pFinal;
    }
}

bool CRunStats::Snapshot(const char* szState, CStatsFile::Run& run, _MUX_STATS& stats) const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    run.sOutput = m_sOutput;
    run.fBitRate = m_fBitRate;
    run.llPacketsWritten = m_pSink ? m_pSink->GetPackets() : 0;
    run.fElapsed =
        m_bStarted
            ? std::chrono::duration<double>(std::chrono::steady_clock::now() - m_tStart).count()
            : 0;
    run.sState = szState;
    run.vInputs = m_vPaths;
    run.vEstimatedRates = m_vRates;
    if (m_bFrozen) {
        if (m_bFinal) {
            stats = m_final;
        }
        return m_bFinal;
    }
    return m_pMux != nullptr && m_pMux->GetStats(stats);
}

bool CRunStats::Write(const char* szState)
{
    if (m_sPath.empty()) {
        return true;
    }
    CStatsFile::Run run;
    _MUX_STATS stats;
    const bool bFigures = Snapshot(szState, run, stats);
    if (CStatsFile(m_sPath).Write(run, bFigures ? &stats : nullptr)) {
        return true;
    }
    const int nErrno = errno;
    bool bFirst = false;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        bFirst = !m_bFailed;
        m_bFailed = true;
    }
    if (bFirst) {
        m_console.Error("cannot write statistics file " + m_sPath + ": " + std::strerror(nErrno));
    }
    return false;
}

bool CRunStats::HasFailed() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_bFailed;
}
