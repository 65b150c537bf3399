#pragma once

#include <string>
#include <vector>

// One program of --programs: the input's program_number, and the output's
// when one is asked for.
struct CProgramPick
{
    int nIn;
    int nOut = -1; // -1: numbered as the others are
};

// The console program's command line, parsed with getopt_long so that
// options may stand anywhere. Values are checked here, naming the option,
// so that nothing starts with a setting the run would refuse later. The
// options are rows of a table in CCommandLine.cpp, each with the function
// that takes its value into the fields below. Used by main only, before any
// thread starts.
class CCommandLine
{
public:
    enum class Action {
        Run,     // mux Inputs into Output
        Usage,   // the usage line on stdout, status 0 (too few arguments)
        Help,    // --help
        Version, // --version
        Error    // GetError() on stderr, status 2
    };

    Action Parse(int argc, char** argv);

    const std::string& GetError() const { return m_sError; }

    std::vector<std::string> vInputs;
    std::vector<std::vector<CProgramPick>> vPrograms; // per input: --programs; empty all
    std::string sOutput;
    bool bExplicitOutput = false; // -o given: every positional argument is an input
    std::string sStatsPath;       // empty: no statistics file
    std::string sNetworkName;     // empty: no NIT name
    bool bFast = false;
    bool bQuiet = false;
    bool bVerbose = false;
    long long llRateBps = 0; // 0: from the inputs' estimates
    int nTsId = -1;          // -1: the library's default
    int nOnid = -1;
    int nNetworkId = -1;
    double fDuration = 0;            // seconds of output; 0 until the inputs end
    bool bNetworkName = false;       // --network-name given (it may be empty)
    bool bInputServiceNames = false; // --service-names input: the inputs' names in the SDT
    bool bCaPass = false;            // --ca pass: scrambled services keep what descrambles them
    bool bLoop = false;              // file inputs start again at their end
    double fInputTimeout = 0;        // seconds without data that make an input down; 0 default
    bool bInputTimeoutEnds = false;  // the timeout ends a network input, and the run
    double fStartWait = 10;          // seconds a pipe, FIFO or network input may take at the start
    int nSdtIntervalMs = 0;          // SDT repetition; 0 the library's choice
    int nNitIntervalMs = 0;          // NIT repetition; 0 the library's choice
    std::string sMetrics;            // HOST:PORT the metrics are served on; empty none
    int nRealtimePriority = 0;       // SCHED_FIFO priority of the writing thread; 0 normal
    // While parsing: the --programs list that waits for the input named next.
    std::string sNextPrograms;
    std::vector<CProgramPick> vNextPrograms;

private:
    Action Refuse(const std::string& sWhat);
    // Options that do not fit the inputs given.
    Action CheckInputs();
    // --programs: each list has an input and asks no output number twice.
    Action CheckPrograms(const std::vector<std::vector<CProgramPick>>& vAt,
                         const std::vector<std::string>& vPositional);

    std::string m_sError;
};
