#pragma once

#include "RunInputs.h"

#include <braidmill.h>

#include <vector>

class CCommandLine;
class CConsole;

// The wait of main's thread between opening the inputs and opening the
// output, through the engine's own readiness wait: until every input knows
// its programs, and every input read as it comes has a rate from its PCRs
// (without --rate). A file is waited for until it is ready or never can be;
// a pipe, FIFO or network input for at most --start-wait (10 s). In real time the run then
// starts with the inputs that are usable, each other one said and marked
// bJoining (its programs join when they come); with --fast, or when no input
// is usable, that is an error. Returns kExitOk, or the exit status with its
// message written (a signal, an input that can never be used). Sets the
// stream inputs' nRate.
int WaitForInputs(CMuxIface& mux, std::vector<CRunInput>& inputs, const CCommandLine& cmd,
                  CConsole& console);
