// braidmill infile1 infile2 outfile: multiplexes two TS files into one
// constant-bit-rate TS file with libbraidmill. Also
// braidmill [--fast] -o outfile infile... for any number of inputs, and
// --fast to mux in the output's own time instead of the wall clock.
//
// Standard output carries exactly the program's own lines and the library's;
// every problem the program itself finds goes to standard error, names the
// file and ends the run with status 1.
#include "CPcrRateScanner.h"
#include "CProgressLine.h"

#include <braidmill.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef BRAIDMILL_VERSION
#define BRAIDMILL_VERSION "unknown"
#endif

namespace {

constexpr int kReadBufferSize = 3850240;      // 20,480 packets per read
constexpr double kRateUnit = 1024.0 * 1024.0; // bit/s per unit of the output rate
// How long main sleeps between looks at the inputs while they analyse their tables.
constexpr auto kReadyPoll = std::chrono::milliseconds(5);

const char kUsage[] = "usage:braidmill infile1 infile2 outfile\n";

const char kHelp[] = "usage:braidmill infile1 infile2 outfile\n"
                     "\n"
                     "Multiplexes two MPEG-2 transport-stream files into one constant-bit-rate\n"
                     "transport stream. The programs of infile1 come first (program 101 on\n"
                     "PMT PID 1011, then 102 on 1021, ...), then those of infile2. The output\n"
                     "rate is the sum of the inputs' rates plus 1,048,576 bit/s for the tables\n"
                     "(PAT, PMT, SDT, NIT every 80 ms) and null packets. The run takes as long\n"
                     "as the inputs last. outfile is created, or replaced when it exists.\n"
                     "\n"
                     "usage:braidmill [--fast] -o outfile infile1 [infile2 ...]\n"
                     "                 any number of inputs, programs numbered in input order\n"
                     "\n"
                     "  --fast     mux in the output's own time, as fast as the machine allows;\n"
                     "             the file is the one a real-time run would give\n"
                     "  --help     show this text\n"
                     "  --version  show the version\n"
                     "\n"
                     "Exit status: 0 when the multiplex was written, 1 when an input or the\n"
                     "output could not be used (the reason is on standard error).\n";

// Writes "braidmill: <what>" on standard error; returns the exit status 1.
int Fail(const std::string& sWhat)
{
    std::fflush(stdout); // keeps the order of the lines when both streams go to one place
    std::fprintf(stderr, "braidmill: %s\n", sWhat.c_str());
    return 1;
}

// An input must be a readable file; a directory opens but reads nothing.
bool CheckInput(const char* szPath, std::string& sReason)
{
    struct stat st = {};
    if (stat(szPath, &st) != 0) {
        sReason = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        sReason = std::strerror(EISDIR);
        return false;
    }
    FILE* pFile = std::fopen(szPath, "rb");
    if (!pFile) {
        sReason = std::strerror(errno);
        return false;
    }
    std::fclose(pFile);
    return true;
}

// Truncating the output must never destroy an input.
bool IsSameFile(const char* szA, const char* szB)
{
    struct stat a = {};
    struct stat b = {};
    return stat(szA, &a) == 0 && stat(szB, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The library's estimate, or where it has none for a readable file, one from
// a longer stretch of the file. -1 (with the message written) when neither works.
int EstimateRate(const char* szPath)
{
    const int nPacketSize = GetSourcePacketSize(szPath);
    if (nPacketSize > 0 && nPacketSize != 188) {
        std::fprintf(stderr, "braidmill: %s: %d-byte packets, read as 188\n", szPath, nPacketSize);
    }
    int nRate = GetSourceRate(szPath);
    if (nRate > 0) {
        return nRate;
    }
    CPcrRateScanner scanner;
    CPcrRateScanner::Result result = scanner.Scan(szPath);
    if (result != CPcrRateScanner::Result::Ok) {
        Fail(std::string(szPath) + ": " + scanner.Describe(result));
        return -1;
    }
    std::fprintf(stderr,
                 "braidmill: %s: no bit rate from the start of the file; %d bit/s estimated "
                 "from %.1f s of PCRs on PID 0x%04X\n",
                 szPath, scanner.GetBitRate(), scanner.GetMeasuredSeconds(),
                 unsigned(scanner.GetPcrPid()));
    return scanner.GetBitRate();
}

struct Input
{
    const char* szPath = nullptr;
    CSourceFile* pSource = nullptr;
    CInputModuleIface* pModule = nullptr;
};

// Releases the inputs after a run, or unblocks and stops readers that are
// still waiting for room in an input nobody drains.
void ReleaseInputs(std::vector<Input>& inputs)
{
    for (Input& input : inputs) {
        if (input.pModule) {
            input.pModule->AbortWait();
        }
    }
    for (Input& input : inputs) {
        delete input.pSource;
        input.pSource = nullptr;
    }
    for (Input& input : inputs) {
        delete input.pModule;
        input.pModule = nullptr;
    }
}

// Waits until every input knows its programs or one never will; true when
// all are ready. The engine's Run would find the same, but waiting here lets
// the program refuse an input without programs before any mux thread starts.
bool WaitForPrograms(const std::vector<Input>& inputs, size_t& nBad)
{
    for (;;) {
        bool bAllReady = true;
        for (size_t i = 0; i < inputs.size(); ++i) {
            if (inputs[i].pModule->CanNeverBeReady()) {
                nBad = i;
                return false;
            }
            bAllReady = bAllReady && inputs[i].pModule->IsReady();
        }
        if (bAllReady) {
            return true;
        }
        std::this_thread::sleep_for(kReadyPoll);
    }
}

// The command line: the three positional arguments (anything after the
// third ignored), or the explicit form with -o. False: print the usage line.
bool ParseArguments(int argc, char** argv, bool& bFast, const char*& szOutput,
                    std::vector<Input>& inputs)
{
    int nArg = 1;
    bFast = nArg < argc && std::strcmp(argv[nArg], "--fast") == 0;
    if (bFast) {
        ++nArg;
    }
    if (nArg < argc && std::strcmp(argv[nArg], "-o") == 0) {
        if (nArg + 2 >= argc) {
            return false;
        }
        szOutput = argv[nArg + 1];
        for (int i = nArg + 2; i < argc; ++i) {
            inputs.push_back(Input{argv[i]});
        }
        return true;
    }
    if (argc - nArg < 3) {
        return false;
    }
    inputs.push_back(Input{argv[nArg]});
    inputs.push_back(Input{argv[nArg + 1]});
    szOutput = argv[nArg + 2];
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("braidmill %s\n", BRAIDMILL_VERSION);
        return 0;
    }
    bool bFast = false;
    const char* szOutput = nullptr;
    std::vector<Input> inputs;
    if (!ParseArguments(argc, argv, bFast, szOutput, inputs)) {
        std::printf("%s", kUsage);
        return 0;
    }

    // Everything that can be checked before a thread starts is checked here.
    std::string sReason;
    for (const Input& input : inputs) {
        if (!CheckInput(input.szPath, sReason)) {
            return Fail(std::string("cannot open input file ") + input.szPath + ": " + sReason);
        }
    }
    for (const Input& input : inputs) {
        if (IsSameFile(input.szPath, szOutput)) {
            return Fail(std::string("output file ") + szOutput + " is also an input");
        }
    }
    std::vector<int> vRates(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        vRates[i] = EstimateRate(inputs[i].szPath);
        if (vRates[i] < 0) {
            return 1;
        }
    }

    COutPutModuleFile* pSink = new COutPutModuleFile();
    errno = 0;
    if (pSink->OpenFile(szOutput) != 0) {
        int nErr = errno ? errno : EIO;
        delete pSink;
        return Fail(std::string("cannot create output file ") + szOutput + ": " +
                    std::strerror(nErr));
    }

    for (Input& input : inputs) {
        input.pSource = new CSourceFile();
        input.pModule = new CInputModuleIface();
        _SOURCE_ATTRIBUTE attr = {};
        attr.bNoTiming = 0;
        attr.nTimingMode = 0; // paced by the input's own PCRs
        input.pModule->SetSourceAttribute(attr);
        input.pSource->InitBuffer(kReadBufferSize);
        input.pSource->SetRecvModule(input.pModule);
        errno = 0;
        if (input.pSource->OpenFile(input.szPath) != 0) {
            int nErr = errno ? errno : EIO;
            ReleaseInputs(inputs);
            delete pSink;
            return Fail(std::string("cannot open input file ") + input.szPath + ": " +
                        std::strerror(nErr));
        }
        input.pSource->StartRead();
    }

    // Each input's share in rate units, plus one unit for tables and stuffing.
    double fSum = 0;
    for (int nRate : vRates) {
        fSum += double(nRate) / 1024 / 1024;
    }
    float fRate = float(fSum + 1);
    std::printf("mux_rate=%.2f\n", fRate);

    size_t nBad = 0;
    if (!WaitForPrograms(inputs, nBad)) {
        ReleaseInputs(inputs);
        delete pSink;
        return Fail(std::string(inputs[nBad].szPath) +
                    ": no programs found (no PAT, or its PMTs are missing)");
    }
    for (const Input& input : inputs) {
        if (input.pModule->GetProgramCount() <= 0) {
            ReleaseInputs(inputs);
            delete pSink;
            return Fail(std::string(input.szPath) + ": no programs found (empty PAT)");
        }
    }

    CMuxIface* pMux = new CMuxIface();
    pMux->SetOutputBitRate(fRate);
    pMux->SetOutPutModule(pSink);
    pMux->SetVirtualClock(bFast);
    for (const Input& input : inputs) {
        pMux->AddInputModule(input.pModule);
    }
    CProgressLine progress;
    progress.Start(szOutput, double(fRate) * kRateUnit);
    pMux->Run();
    bool bFailed = pMux->IsFailed();
    if (!bFailed) {
        pMux->WaitFinish();
    }
    progress.Stop();
    int nOmitted = pMux->GetOmittedProgramCount();

    ReleaseInputs(inputs);
    pSink->Destroy(); // closes the file, so that a failing close is seen too
    bool bWriteError = pSink->HasWriteError();
    delete pSink;
    delete pMux;

    if (bFailed) {
        return Fail(std::string(szOutput) + ": the multiplex could not be started");
    }
    if (nOmitted > 0) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "braidmill: %d program(s) left out of %s: PIDs or program numbers ran out\n",
                     nOmitted, szOutput);
    }
    if (bWriteError) {
        return Fail(std::string(szOutput) + ": writing the output failed (disk full or I/O error)");
    }
    std::printf("mux finish!\n");
    return 0;
}
