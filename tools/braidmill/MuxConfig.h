#pragma once

#include "RunInputs.h"

#include <braidmill.h>

#include <vector>

class CCommandLine;
class CConsole;

// The output rate of a run, in the two forms the engine takes.
struct COutputRate
{
    float fRate = 0;         // rate units, when no exact rate is set
    long long llRateBps = 0; // exact rate; 0 when fRate applies
    double fBitRate = 0;     // the rate in force, bit/s
};

// A new engine with what the inputs must know before their first packet
// (--ca), before OpenInputs adds them. Owned by the caller.
CMuxIface* CreateMux(const CCommandLine& cmd);

// The rate from --rate, or from the inputs' rates plus one unit for tables
// and stuffing (an input without a rate yet counts for nothing). Writes the
// "mux_rate=" line.
COutputRate ChooseRate(const CCommandLine& cmd, const std::vector<CRunInput>& inputs,
                       CConsole& console);

// Every setting of the command line on the engine of CreateMux, its inputs
// waited for already. A rate the user did not fix grows where content would
// keep less headroom than the larger of 500,000 bit/s and 5 % of it after
// the tables; rate holds the rate in force afterwards. kExitOk, or
// kExitUsage (said) when --rate leaves the tables no room: nothing but
// tables would ever be written.
int ConfigureMux(CMuxIface& mux, const CCommandLine& cmd, const std::vector<CRunInput>& inputs,
                 COutputRate& rate, CConsole& console);
