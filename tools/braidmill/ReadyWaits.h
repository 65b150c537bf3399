#pragma once

#include "RunInputs.h"

#include <vector>

class CCommandLine;
class CConsole;

// The waits of main's thread between opening the inputs and opening the
// output. Each returns kExitOk, or the exit status with its message written
// (a signal, an input that never becomes usable).

// Inputs read as they come have no rate before they are read: waits until
// each has its programs and a rate from its PCRs, within a limit, and sets
// their nRate.
int WaitForStreamRates(std::vector<CRunInput>& inputs, const CCommandLine& cmd, CConsole& console);

// Waits until every input knows its programs and has one at least. The
// engine's Run would find the same, but waiting here lets the program refuse
// an input without programs before the output is opened.
int WaitForPrograms(const std::vector<CRunInput>& inputs, const CCommandLine& cmd,
                    CConsole& console);
