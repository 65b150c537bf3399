// braidmill infile1 infile2 outfile: multiplexes two TS files into one
// constant-bit-rate TS file with libbraidmill. Also
// braidmill [options] -o outfile infile... for any number of inputs; the
// options are in kHelp.
//
// Standard output carries exactly the program's own lines and the library's;
// every problem the program itself finds goes to standard error and names
// the file. The output is opened only once every input has its programs, so
// a run that fails before muxing leaves an existing file as it was.
#include "CCommandLine.h"
#include "CConsole.h"
#include "CMuxRun.h"

#include <cstdio>

#ifndef BRAIDMILL_VERSION
#define BRAIDMILL_VERSION "unknown"
#endif

namespace {

const char kUsage[] = "usage:braidmill infile1 infile2 outfile\n";

const char kHelp[] =
    "usage:braidmill infile1 infile2 outfile\n"
    "\n"
    "Multiplexes two MPEG-2 transport-stream files into one constant-bit-rate\n"
    "transport stream. The programs of infile1 come first (program 101 on\n"
    "PMT PID 1011, then 102 on 1021, ...), then those of infile2. The output\n"
    "rate is the sum of the inputs' rates plus 1,048,576 bit/s for the tables\n"
    "(PAT, PMT, SDT, NIT every 80 ms) and null packets. The run takes as long\n"
    "as the inputs last. outfile is created, or replaced when it exists; it is\n"
    "opened only once both inputs are found usable.\n"
    "\n"
    "usage:braidmill [options] -o outfile infile1 [infile2 ...]\n"
    "                 any number of inputs, programs numbered in input order\n"
    "\n"
    "An input is a file, a FIFO, - (standard input), udp://[source@]host:port\n"
    "[?localaddr=IP] or rtp://... (multicast groups are joined). The output is a\n"
    "file, - (standard output; every line then goes to standard error) or\n"
    "udp://host:port[?ttl=N&localaddr=IP&pkts=N] or rtp://host:port.\n"
    "Inputs and the output may also be srt://[host]:port[?mode=caller|listener|\n"
    "rendezvous&latency=MS&passphrase=TEXT&pbkeylen=N&streamid=TEXT]; a peer that\n"
    "drops is waited for again (a listener accepts, a caller calls again).\n"
    "Network inputs are live: their sender's clock is followed, they are never\n"
    "waited for, and a silent one leaves its programs empty.\n"
    "\n"
    "Options may stand anywhere on the line.\n"
    "  -o FILE              the output; every other file named is an input\n"
    "  --fast               mux in the output's own time, as fast as the machine\n"
    "                       allows; the file is the one a real-time run would give\n"
    "  --rate BITS          output rate in bit/s, exactly (default: the inputs'\n"
    "                       rates plus 1,048,576)\n"
    "  -t, --duration SECS  end after this much output time\n"
    "  --loop               file inputs start again at their end (playout), each\n"
    "                       pass marked as a discontinuity; runs until stopped\n"
    "                       or --duration\n"
    "  --input-timeout SECS a network input silent this long ends the run\n"
    "  --tsid N             transport_stream_id of PAT and SDT (0-65535; default 1)\n"
    "  --onid N             original_network_id of the SDT (0-65535; default 0)\n"
    "  --network-id N       network_id of the NIT (0-65535; default 0)\n"
    "  --network-name TEXT  network name in the NIT; the PAT then lists the NIT\n"
    "  --service-names input|numbered\n"
    "                       SDT names from the inputs' SDTs, or \"service 101\", ...\n"
    "                       (default numbered)\n"
    "  --stats FILE         JSON figures of the run, rewritten every 2 s and at\n"
    "                       the end: per input packets read, dropped, continuity\n"
    "                       errors, PCRs and rate; per program packets and PCR\n"
    "                       interval\n"
    "  -q, --quiet          show errors only\n"
    "  -v, --verbose        also show each input's rate and the run's figures\n"
    "  --help               show this text\n"
    "  --version            show the version\n"
    "\n"
    "SIGINT, SIGTERM and SIGHUP end the run cleanly: the output is closed on a\n"
    "whole packet and a line says how much was written. A second one ends the\n"
    "program at once.\n"
    "\n"
    "Exit status:\n"
    "  0    the multiplex was written\n"
    "  1    an input or the output could not be used, or writing failed\n"
    "       (the reason is on standard error)\n"
    "  2    bad command line\n"
    "  3    finished, but programs were left out or input packets were\n"
    "       dropped or late (a line on standard error says how many)\n"
    "  128+N  stopped by signal N (130 SIGINT, 143 SIGTERM, 129 SIGHUP)\n";

} // namespace

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
