#pragma once

#include "RunInputs.h"

#include <braidmill.h>

#include <atomic>
#include <thread>
#include <vector>

class CRunStats;
class CSignalStop;
class CWatchedSink;

// The thread beside a running engine: turns a signal, a broken sink, the
// end of the duration or the end of a network input into a Stop, and
// rewrites the statistics file every 2 s. Started and joined by the run on
// main's thread; everything it is given outlives it.
class CRunWatcher
{
public:
    // fDuration: seconds of output, 0 none; fBitRate: the output rate, bit/s.
    CRunWatcher(const CSignalStop& signals, const CWatchedSink& sink, CMuxIface& mux,
                const std::vector<CRunInput>& inputs, CRunStats& stats, double fDuration,
                double fBitRate);
    ~CRunWatcher() { Join(); }
    CRunWatcher(const CRunWatcher&) = delete;
    CRunWatcher& operator=(const CRunWatcher&) = delete;

    void Start();
    // The run is over: wakes the thread and joins it.
    void Join();

private:
    void Loop();

    const CSignalStop& m_signals;
    const CWatchedSink& m_sink;
    CMuxIface& m_mux;
    const std::vector<CRunInput>& m_vInputs;
    CRunStats& m_stats;
    // Output packets that make the duration, 0 none; the engine ends the run
    // there itself, this only backs it up where it cannot.
    long long m_llDurationPackets = 0;
    std::atomic<bool> m_bDone{false}; // main to the thread: the run is over
    std::thread m_th;
};
