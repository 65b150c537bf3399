#pragma once

#include <braidmill.h>

#include <string>
#include <vector>

// The --stats file: a JSON snapshot of a run, rewritten every few seconds
// and at the end. Each write goes to a temporary file renamed over the old
// one, so a reader never sees half a file. Used by the console's watcher
// thread during the run and by main after it, never both at once.
class CStatsFile
{
public:
    // What the program itself knows, with or without the engine's figures.
    struct Run
    {
        std::string sOutput;
        double fBitRate = 0; // output rate, bit/s
        long long llPacketsWritten = 0;
        double fElapsed = 0;            // wall-clock seconds since the mux started
        std::string sState = "running"; // running, finished, stopped, failed
        std::vector<std::string> vInputs;
        std::vector<int> vEstimatedRates; // bit/s per input, as estimated before the run
    };

    explicit CStatsFile(std::string sPath) : m_sPath(std::move(sPath)) {}

    // pStats null: the engine has no figures (yet). False when the file
    // cannot be written; the reason is in errno.
    bool Write(const Run& run, const _MUX_STATS* pStats) const;

    static std::string ToJson(const Run& run, const _MUX_STATS* pStats);

private:
    std::string m_sPath;
};
