// braidmill infile1 infile2 outfile: multiplexes two TS files into one
// constant-bit-rate TS file with libbraidmill. Also
// braidmill [options] -o outfile infile... for any number of inputs; the
// options are in kHelp (HelpText.cpp).
//
// Standard output carries exactly the program's own lines and the library's;
// every problem the program itself finds goes to standard error and names
// the file. The output is opened only once every input has its programs, so
// a run that fails before muxing leaves an existing file as it was.
#include "CCommandLine.h"
#include "CConsole.h"
#include "CMuxRun.h"
#include "ExitStatus.h"
#include "HelpText.h"

#include <cstdio>

#ifndef BRAIDMILL_VERSION
#define BRAIDMILL_VERSION "unknown"
#endif

int main(int argc, char** argv)
{
    CCommandLine cmd;
    switch (cmd.Parse(argc, argv)) {
    case CCommandLine::Action::Help:
        std::fputs(kHelp, stdout);
        return kExitOk;
    case CCommandLine::Action::Version:
        std::printf("braidmill %s\n", BRAIDMILL_VERSION);
        return kExitOk;
    case CCommandLine::Action::Usage:
        std::fputs(kUsage, stdout);
        return kExitOk;
    case CCommandLine::Action::Error:
        std::fprintf(stderr, "braidmill: %s\n%s", cmd.GetError().c_str(), kUsage);
        return kExitUsage;
    case CCommandLine::Action::Run:
        break;
    }
    CConsole console;
    console.Init(cmd.bQuiet, cmd.bVerbose);
    CMuxRun run(cmd, console);
    return run.Execute();
}
