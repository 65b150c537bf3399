#pragma once

#include "CStatsFile.h"
#include "CSignalStop.h"
#include "CWatchedSink.h"

#include <braidmill.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

class CCommandLine;
class CConsole;

// Exit statuses; a stop by a signal exits with 128 + its number.
inline constexpr int kExitOk = 0;
inline constexpr int kExitIo = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitIncomplete = 3;
inline constexpr int kExitSignalBase = 128;

// One input as the program drives it: its reader and its input module.
struct Input
{
    std::string sPath;
    int nRate = -1; // bit/s, estimated before the run
    bool bStream = false; // read once as it comes: a pipe, a FIFO, a socket
    bool bLive = false;   // arrives in real time: a network input
    CSourceBase* pSource = nullptr;
    CInputModuleIface* pModule = nullptr;
};

// One multiplex from a parsed command line: checks the files, starts the
// readers, opens the output once the inputs are usable, runs the engine with
// a watcher thread beside it (signals, a broken sink, the duration, the
// statistics file) and reports. Owned by main, used on its thread; the
// watcher is joined before Execute returns.
class CMuxRun
{
public:
    CMuxRun(const CCommandLine& cmd, CConsole& console);
    ~CMuxRun();
    CMuxRun(const CMuxRun&) = delete;
    CMuxRun& operator=(const CMuxRun&) = delete;

    int Execute();

private:
    int CheckFiles();
    int OpenInputs();
    int WaitForStreamRates();
    int Prepare();
    void Configure();
    void Watch();
    // pFinal: figures taken before the inputs were released; null asks the engine.
    void WriteStats(const char* szState, const _MUX_STATS* pFinal = nullptr);
    int Finish();

    const CCommandLine& m_cmd;
    CConsole& m_console;
    std::vector<Input> m_vInputs;
    CSignalStop m_signals;
    CMuxIface* m_pMux = nullptr;
    std::unique_ptr<CWatchedSink> m_pSink; // null until the output is opened
    std::unique_ptr<COutPutModuleBase>
        m_pEarlyOutput; // standard output: opened first, so nothing else lands there
    std::unique_ptr<CStatsFile> m_pStats;
    float m_fRate = 0;         // rate units, when no exact rate is set
    long long m_llRateBps = 0; // exact rate; 0 when m_fRate applies
    double m_fBitRate = 0;     // the rate in force, bit/s
    std::chrono::steady_clock::time_point m_tStart;
    std::atomic<bool> m_bDone{false}; // main to the watcher: the run is over
    bool m_bStatsFailed = false;      // watcher thread only until joined
};
