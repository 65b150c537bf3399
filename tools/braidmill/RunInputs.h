#pragma once

#include "CCommandLine.h"

#include <braidmill.h>

#include <string>
#include <vector>

class CCommandLine;
class CConsole;

// One input as the program drives it: its reader and its input module,
// both owned through ReleaseInputs. Plain data, on main's thread; the
// watcher only reads its flags and asks the module.
struct CRunInput
{
    std::string sPath;
    int nRate = -1;       // bit/s, estimated before the run
    bool bStream = false; // read once as it comes: a pipe, a FIFO, a socket
    bool bLive = false;   // arrives in real time: a network input
    bool bJoining = false; // not usable at the start: its programs join when they come
    std::vector<CProgramPick> vPrograms; // --programs; empty: all
    CSourceBase* pSource = nullptr;
    CInputModuleIface* pModule = nullptr;
};

// The inputs named on the command line, nothing opened yet.
std::vector<CRunInput> MakeInputs(const CCommandLine& cmd);

// The library's estimate from the file's start, or where it has none for a
// readable file, one from a longer stretch. -1 (with the message written)
// when neither works.
int EstimateRate(const std::string& sPath, CConsole& console);

// The rate of every input that can be read before the run (files); kExitOk
// or the exit status of a failure, its message written.
int RateFileInputs(std::vector<CRunInput>& inputs, const CCommandLine& cmd, CConsole& console);

// Starts every input's reader on a new input module, added to the engine
// first (so that the engine's settings reach it before its first packet);
// kExitOk or kExitIo with the message written.
int OpenInputs(std::vector<CRunInput>& inputs, const CCommandLine& cmd, CMuxIface& mux,
               CConsole& console);

// An input with --programs counts in the output rate with the share of its
// packets its chosen programs carry (once it is ready), a line saying so.
void ScaleToChosenPrograms(std::vector<CRunInput>& inputs, CConsole& console);

// Releases the inputs after a run, or unblocks and stops readers that are
// still waiting for room in an input nobody drains.
void ReleaseInputs(std::vector<CRunInput>& inputs);
