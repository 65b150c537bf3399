#pragma once

#include "CStatsFile.h"
#include "RunInputs.h"

#include <braidmill.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class CCommandLine;
class CConsole;
class CWatchedSink;

// The run's --stats file: what the program knows of the run (output, rate,
// inputs' estimates) joined with the engine's figures at each write. A
// failed write is said once and makes the run's status 1; the run goes on.
// Written by the watcher thread during the run and by main after joining
// it, never both at once. Owned by the run; does nothing without --stats.
class CRunStats
{
public:
    CRunStats(const CCommandLine& cmd, const std::vector<CRunInput>& inputs, CConsole& console);

    // The run starts: figures from here on come from sink and mux, which
    // outlive every Write; elapsed time counts from now.
    void Start(double fBitRate, const CWatchedSink& sink, CMuxIface& mux);
    // pFinal: figures taken before the inputs were released; null asks the engine.
    void Write(const char* szState, const _MUX_STATS* pFinal = nullptr);
    bool HasFailed() const { return m_bFailed; }

private:
    const CCommandLine& m_cmd;
    const std::vector<CRunInput>& m_vInputs;
    CConsole& m_console;
    std::unique_ptr<CStatsFile> m_pFile; // null: no --stats
    double m_fBitRate = 0;               // output rate, bit/s
    const CWatchedSink* m_pSink = nullptr;
    CMuxIface* m_pMux = nullptr;
    std::chrono::steady_clock::time_point m_tStart;
    bool m_bFailed = false; // a write failed, said once
};
