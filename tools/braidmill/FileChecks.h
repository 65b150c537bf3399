#pragma once

#include "RunInputs.h"

#include <vector>

class CCommandLine;
class CConsole;

// Checks the files of a run before anything is opened for writing: every
// file input readable, the output and the statistics file creatable, and
// none of them the same file as another (truncating the output must never
// destroy an input). kExitOk, or kExitIo with the message written.
int CheckFiles(const CCommandLine& cmd, const std::vector<CRunInput>& inputs, CConsole& console);
