#pragma once

#include "CStatsFile.h"
#include "RunInputs.h"

#include <braidmill.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CCommandLine;
class CConsole;
class CWatchedSink;

// The run's figures as the --stats file and the metrics give them: what the
// program knows of the run (output, rate, inputs' estimates) joined with the
// engine's figures, as of one moment. Main sets what it learns (SetInputs,
// Start, Freeze); the watcher and main write the file, never both at once;
// the metrics thread takes snapshots at any time. A failed write is said once
// and makes the run's status 1; the run goes on. Owned by the run.
class CRunStats
{
public:
    CRunStats(const CCommandLine& cmd, CConsole& console);

    // The inputs' paths and estimated rates, copied: main changes its own.
    void SetInputs(const std::vector<CRunInput>& inputs);
    // The run starts: figures from here on come from sink and mux, which
    // stay until Freeze; elapsed time counts from now.
    void Start(double fBitRate, const CWatchedSink& sink, CMuxIface& mux);
    // The engine's last figures, taken before the inputs go (the engine reads
    // them live); pFinal null: none. The engine is not asked again.
    void Freeze(const _MUX_STATS* pFinal);
    // The run as of now; false when there are no engine figures (stats untouched).
    bool Snapshot(const char* szState, CStatsFile::Run& run, _MUX_STATS& stats) const;

    // Rewrites the --stats file, if any. False (said once) when it fails.
    bool Write(const char* szState);
    bool HasFailed() const;

private:
    const std::string m_sOutput;
    const std::string m_sPath; // the --stats file; empty none
    CConsole& m_console;

    mutable std::mutex m_mtx; // guards everything below
    std::vector<std::string> m_vPaths;
    std::vector<int> m_vRates; // bit/s, as estimated before the run
    double m_fBitRate = 0;     // output rate, bit/s
    const CWatchedSink* m_pSink = nullptr;
    CMuxIface* m_pMux = nullptr; // null before Start and after Freeze
    bool m_bFrozen = false;
    bool m_bFinal = false; // m_final holds the engine's last figures
    _MUX_STATS m_final;
    bool m_bStarted = false;
    std::chrono::steady_clock::time_point m_tStart;
    bool m_bFailed = false; // a write failed, said once
};
