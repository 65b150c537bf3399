#pragma once

#include "RunInputs.h"

#include <braidmill.h>

#include <string>
#include <vector>

class CConsole;
class CRunStats;
class CWatchedSink;

// The end of a run, after the engine finished (or failed to start) and the
// watcher was joined: takes the engine's figures, releases the inputs,
// closes the output (a failing close counts), writes the statistics file a
// last time and reports, most serious first. Returns the exit status.
int ReportRun(CMuxIface& mux, std::vector<CRunInput>& inputs, CWatchedSink& sink, CRunStats& stats,
              const std::string& sOut, CConsole& console);
