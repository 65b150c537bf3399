#pragma once

#include <functional>
#include <string>
#include <vector>

// Runs a program as a child process with standard output and standard error
// captured, and kills it when it outlives its time limit, so that a hanging
// program fails a test instead of blocking the suite.
struct ToolResult
{
    int nStatus = -1; // exit status; -1 when killed or not started
    bool bTimedOut = false;
    std::string sOut;
    std::string sErr;
    double fSeconds = 0; // wall time
    int nTermSignal = 0; // the signal that ended the program; 0 when it exited
};

// A signal sent to the program fAfter seconds after its start.
struct SignalAt
{
    double fAfter;
    int nSignal;
};

class CToolRun
{
public:
    // vArgs[0] is the program's path. Captures go to files under sWorkDir.
    // fnWhileRunning, when given, is called with the program's process id
    // every 10 ms while it runs.
    static ToolResult Run(const std::vector<std::string>& vArgs, const std::string& sWorkDir,
                          double fTimeoutSeconds, const std::vector<SignalAt>& vSignals = {},
                          const std::function<void(int nPid)>& fnWhileRunning = {});
    // A shell command line; its exit status, or -1.
    static int Shell(const std::string& sCommand);
    // The exact output rate from the program's "output rate N bit/s" line on
    // standard error; -1 when there is none.
    static double OutputRateOf(const ToolResult& run);
};
