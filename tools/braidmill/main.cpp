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
#include "CPcrRateScanner.h"
#include "CProgressLine.h"
#include "CSignalStop.h"
#include "CStatsFile.h"
#include "CWatchedSink.h"

#include <braidmill.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef BRAIDMILL_VERSION
#define BRAIDMILL_VERSION "unknown"
#endif

namespace {

constexpr int kReadBufferSize = 3850240;      // 20,480 packets per read
constexpr double kRateUnit = 1024.0 * 1024.0; // bit/s per unit of the output rate
constexpr long long kTableAllowance = 524'288; // bit/s of the rate's extra unit kept for tables
// How long main sleeps between looks at the inputs while they analyse their tables.
constexpr auto kReadyPoll = std::chrono::milliseconds(5);
// The watcher's period: a failed write or a signal stops the run within it.
constexpr int kWatchMs = 100;
constexpr auto kStatsPeriod = std::chrono::seconds(2);

// Exit statuses; a stop by a signal exits with 128 + its number.
constexpr int kExitOk = 0;
constexpr int kExitIo = 1;
constexpr int kExitUsage = 2;
constexpr int kExitIncomplete = 3;
constexpr int kExitSignalBase = 128;

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
    "Options may stand anywhere on the line.\n"
    "  -o FILE              the output; every other file named is an input\n"
    "  --fast               mux in the output's own time, as fast as the machine\n"
    "                       allows; the file is the one a real-time run would give\n"
    "  --rate BITS          output rate in bit/s, exactly (default: the inputs'\n"
    "                       rates plus 1,048,576)\n"
    "  -t, --duration SECS  end after this much output time\n"
    "  --tsid N             transport_stream_id of PAT and SDT (0-65535; default 1)\n"
    "  --onid N             original_network_id of the SDT (0-65535; default 0)\n"
    "  --network-id N       network_id of the NIT (0-65535; default 0)\n"
    "  --network-name TEXT  network name in the NIT; the PAT then lists the NIT\n"
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

struct Input
{
    std::string sPath;
    int nRate = -1; // bit/s, estimated before the run
    CSourceFile* pSource = nullptr;
    CInputModuleIface* pModule = nullptr;
};

// An input must be a readable file; a directory opens but reads nothing.
bool CheckInput(const std::string& sPath, std::string& sReason)
{
    struct stat st = {};
    if (stat(sPath.c_str(), &st) != 0) {
        sReason = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        sReason = std::strerror(EISDIR);
        return false;
    }
    FILE* pFile = std::fopen(sPath.c_str(), "rb");
    if (!pFile) {
        sReason = std::strerror(errno);
        return false;
    }
    std::fclose(pFile);
    return true;
}

// Whether the output can be created, found without creating or truncating
// it: the output is opened only after the inputs proved usable.
bool CheckOutput(const std::string& sPath, std::string& sReason)
{
    struct stat st = {};
    if (stat(sPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            sReason = std::strerror(EISDIR);
            return false;
        }
        if (access(sPath.c_str(), W_OK) != 0) {
            sReason = std::strerror(errno);
            return false;
        }
        return true;
    }
    const size_t nSlash = sPath.rfind('/');
    const std::string sDir = nSlash == std::string::npos ? "." : sPath.substr(0, nSlash + 1);
    if (access(sDir.c_str(), W_OK) != 0) {
        sReason = std::strerror(errno);
        return false;
    }
    return true;
}

// Truncating the output must never destroy an input: the same inode, also
// reached through a hard or symbolic link, is the same file.
bool IsSameFile(const std::string& sA, const std::string& sB)
{
    struct stat a = {};
    struct stat b = {};
    return stat(sA.c_str(), &a) == 0 && stat(sB.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// The library's estimate, or where it has none for a readable file, one from
// a longer stretch of the file. -1 (with the message written) when neither works.
int EstimateRate(const std::string& sPath, CConsole& console)
{
    int nRate = GetSourceRate(sPath.c_str());
    if (nRate > 0) {
        return nRate;
    }
    CPcrRateScanner scanner;
    CPcrRateScanner::Result result = scanner.Scan(sPath.c_str());
    if (result != CPcrRateScanner::Result::Ok) {
        console.Error(sPath + ": " + CPcrRateScanner::Describe(result, scanner.GetErrno()));
        return -1;
    }
    char szNote[256];
    std::snprintf(szNote, sizeof szNote,
                  "no bit rate from the start of the file; %d bit/s estimated from %.1f s of PCRs "
                  "on PID 0x%04X",
                  scanner.GetBitRate(), scanner.GetMeasuredSeconds(), unsigned(scanner.GetPcrPid()));
    console.Note(sPath + ": " + szNote);
    return scanner.GetBitRate();
}

// The one place that turns an output name into a sink ("-" and network
// outputs would be told apart here). Null with the reason when it fails.
std::unique_ptr<COutPutModuleBase> OpenOutput(const std::string& sName, std::string& sReason)
{
    auto pFile = std::make_unique<COutPutModuleFile>();
    errno = 0;
    if (pFile->OpenFile(sName.c_str()) != 0) {
        sReason = std::strerror(errno ? errno : EIO);
        return nullptr;
    }
    return pFile;
}

// The one place that turns an input name into a running reader feeding a
// new input module. False with the reason when it fails.
bool OpenInput(Input& input, std::string& sReason)
{
    input.pSource = new CSourceFile();
    input.pModule = new CInputModuleIface();
    _SOURCE_ATTRIBUTE attr = {};
    attr.bNoTiming = 0;
    attr.nTimingMode = 0; // paced by the input's own PCRs
    input.pModule->SetSourceAttribute(attr);
    input.pSource->InitBuffer(kReadBufferSize);
    input.pSource->SetRecvModule(input.pModule);
    errno = 0;
    if (input.pSource->OpenFile(input.sPath.c_str()) != 0) {
        sReason = std::strerror(errno ? errno : EIO);
        return false;
    }
    input.pSource->StartRead();
    return true;
}

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

enum class Ready
{
    All,
    Never,   // nBad can never become ready
    Stopped, // a signal came first
};

// Waits until every input knows its programs or one never will. The
// engine's Run would find the same, but waiting here lets the program refuse
// an input without programs before the output is opened.
Ready WaitForPrograms(const std::vector<Input>& inputs, size_t& nBad)
{
    for (;;) {
        if (CSignalStop::GetSignal() != 0) {
            return Ready::Stopped;
        }
        bool bAllReady = true;
        for (size_t i = 0; i < inputs.size(); ++i) {
            if (inputs[i].pModule->CanNeverBeReady()) {
                nBad = i;
                return Ready::Never;
            }
            bAllReady = bAllReady && inputs[i].pModule->IsReady();
        }
        if (bAllReady) {
            return Ready::All;
        }
        std::this_thread::sleep_for(kReadyPoll);
    }
}

std::string FormatRate(double fBitRate)
{
    char sz[64];
    std::snprintf(sz, sizeof sz, "%.10g", fBitRate);
    return sz;
}

std::string Written(long long llPackets, const std::string& sOutput)
{
    return std::to_string(llPackets) + " packets (" +
           std::to_string(llPackets * kPacketBytes) + " bytes) written to " + sOutput;
}

// One multiplex from a parsed command line; returns the exit status.
class CMuxRun
{
public:
    CMuxRun(const CCommandLine& cmd, CConsole& console) : m_cmd(cmd), m_console(console)
    {
        for (const std::string& sPath : cmd.vInputs) {
            m_vInputs.push_back(Input{sPath});
        }
    }
    ~CMuxRun()
    {
        ReleaseInputs(m_vInputs);
        delete m_pMux; // after the inputs' readers are gone, as the library asks
    }
    CMuxRun(const CMuxRun&) = delete;
    CMuxRun& operator=(const CMuxRun&) = delete;

    int Execute();

private:
    int CheckFiles();
    int Prepare();
    void Configure();
    void Watch();
    void WriteStats(const char* szState);
    int Finish();

    const CCommandLine& m_cmd;
    CConsole& m_console;
    std::vector<Input> m_vInputs;
    CSignalStop m_signals;
    CMuxIface* m_pMux = nullptr;
    CWatchedSink* m_pSink = nullptr; // owned by m_pSinkOwner
    std::unique_ptr<CWatchedSink> m_pSinkOwner;
    std::unique_ptr<CStatsFile> m_pStats;
    float m_fRate = 0;               // rate units, when no exact rate is set
    long long m_llRateBps = 0;       // exact rate; 0 when m_fRate applies
    double m_fBitRate = 0;           // the rate in force, bit/s
    std::chrono::steady_clock::time_point m_tStart;
    std::atomic<bool> m_bDone{false}; // main to the watcher: the run is over
    bool m_bStatsFailed = false;      // watcher thread only until joined
};

int CMuxRun::CheckFiles()
{
    const std::string& sOut = m_cmd.sOutput;
    std::string sReason;
    for (const Input& input : m_vInputs) {
        if (!CheckInput(input.sPath, sReason)) {
            m_console.Error("cannot open input file " + input.sPath + ": " + sReason);
            return kExitIo;
        }
    }
    for (const Input& input : m_vInputs) {
        if (IsSameFile(input.sPath, sOut)) {
            m_console.Error("output file " + sOut + " is also an input");
            return kExitIo;
        }
        if (!m_cmd.sStatsPath.empty() && IsSameFile(input.sPath, m_cmd.sStatsPath)) {
            m_console.Error("statistics file " + m_cmd.sStatsPath + " is also an input");
            return kExitIo;
        }
    }
    if (!m_cmd.sStatsPath.empty() &&
        (m_cmd.sStatsPath == sOut || IsSameFile(m_cmd.sStatsPath, sOut))) {
        m_console.Error("statistics file " + m_cmd.sStatsPath + " is also the output");
        return kExitIo;
    }
    if (!CheckOutput(sOut, sReason)) {
        m_console.Error("cannot create output file " + sOut + ": " + sReason);
        return kExitIo;
    }
    if (!m_cmd.sStatsPath.empty() && !CheckOutput(m_cmd.sStatsPath, sReason)) {
        m_console.Error("cannot create statistics file " + m_cmd.sStatsPath + ": " + sReason);
        return kExitIo;
    }
    return kExitOk;
}

// Everything up to the moment the output may be opened.
int CMuxRun::Prepare()
{
    if (int nStatus = CheckFiles(); nStatus != kExitOk) {
        return nStatus;
    }
    for (Input& input : m_vInputs) {
        input.nRate = EstimateRate(input.sPath, m_console);
        if (input.nRate < 0) {
            return kExitIo;
        }
        m_console.Detail(input.sPath + ": " + std::to_string(input.nRate) + " bit/s");
    }
    if (!m_signals.Install()) {
        m_console.Error(std::string("cannot install the signal handlers: ") + std::strerror(errno));
        return kExitIo;
    }
    std::string sReason;
    for (Input& input : m_vInputs) {
        if (!OpenInput(input, sReason)) {
            m_console.Error("cannot open input file " + input.sPath + ": " + sReason);
            return kExitIo;
        }
    }

    if (m_cmd.llRateBps > 0) {
        m_llRateBps = m_cmd.llRateBps;
        m_fBitRate = double(m_llRateBps);
    } else {
        // Each input's share in rate units, plus one unit for tables and stuffing.
        double fSum = 0;
        for (const Input& input : m_vInputs) {
            fSum += double(input.nRate) / kRateUnit;
        }
        m_fRate = float(fSum + 1);
        m_fBitRate = double(m_fRate) * kRateUnit;
    }
    char szLine[64];
    std::snprintf(szLine, sizeof szLine, "mux_rate=%.2f\n", m_fBitRate / kRateUnit);
    m_console.Out(szLine);

    size_t nBad = 0;
    switch (WaitForPrograms(m_vInputs, nBad)) {
    case Ready::Stopped:
        m_console.Error(std::string("stopped by ") + CSignalStop::Name(CSignalStop::GetSignal()) +
                        " before " + m_cmd.sOutput + " was opened");
        return kExitSignalBase + CSignalStop::GetSignal();
    case Ready::Never:
        m_console.Error(m_vInputs[nBad].sPath +
                        ": no programs found (no PAT, or its PMTs are missing)");
        return kExitIo;
    case Ready::All:
        break;
    }
    for (const Input& input : m_vInputs) {
        if (input.pModule->GetProgramCount() <= 0) {
            m_console.Error(input.sPath + ": no programs found (empty PAT)");
            return kExitIo;
        }
    }
    return kExitOk;
}

void CMuxRun::Configure()
{
    m_pMux = new CMuxIface();
    for (const Input& input : m_vInputs) {
        m_pMux->AddInputModule(input.pModule);
    }
    // The extra unit leaves kTableAllowance for the tables; many programs
    // need more, and a rate the user did not fix grows by the difference.
    const long long llTables = m_pMux->GetTableBitRate();
    if (m_cmd.llRateBps == 0 && llTables > kTableAllowance) {
        m_llRateBps = std::llround(m_fBitRate) + (llTables - kTableAllowance);
        m_console.Note("the tables need " + std::to_string(llTables) + " bit/s; output rate raised by " +
                       std::to_string(llTables - kTableAllowance) + " bit/s");
        m_fBitRate = double(m_llRateBps);
    }
    if (m_llRateBps > 0) {
        // The unit rate too, for an engine that takes no exact rate.
        m_pMux->SetOutputBitRate(float(double(m_llRateBps) / kRateUnit));
        m_pMux->SetOutputBitRateBps(m_llRateBps);
    } else {
        m_pMux->SetOutputBitRate(m_fRate);
    }
    m_console.Note("output rate " + FormatRate(m_fBitRate) + " bit/s");
    m_pMux->SetVirtualClock(m_cmd.bFast);
    if (m_cmd.nTsId >= 0) {
        m_pMux->SetTransportStreamId(m_cmd.nTsId);
    }
    if (m_cmd.nOnid >= 0) {
        m_pMux->SetOriginalNetworkId(m_cmd.nOnid);
    }
    if (m_cmd.nNetworkId >= 0) {
        m_pMux->SetNetworkId(m_cmd.nNetworkId);
    }
    if (m_cmd.bNetworkName) {
        m_pMux->SetNetworkName(m_cmd.sNetworkName.c_str());
    }
    if (m_cmd.fDuration > 0) {
        m_pMux->SetDuration(m_cmd.fDuration);
    }
}

void CMuxRun::WriteStats(const char* szState)
{
    if (!m_pStats) {
        return;
    }
    CStatsFile::Run run;
    run.sOutput = m_cmd.sOutput;
    run.fBitRate = m_fBitRate;
    run.llPacketsWritten = m_pSink ? m_pSink->GetPackets() : 0;
    run.fElapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_tStart).count();
    run.sState = szState;
    for (const Input& input : m_vInputs) {
        run.vInputs.push_back(input.sPath);
        run.vEstimatedRates.push_back(input.nRate);
    }
    _MUX_STATS stats;
    const bool bFigures = m_pMux != nullptr && m_pMux->GetStats(stats);
    if (!m_pStats->Write(run, bFigures ? &stats : nullptr) && !m_bStatsFailed) {
        m_bStatsFailed = true; // said once; the run goes on
        m_console.Error("cannot write statistics file " + m_cmd.sStatsPath + ": " +
                        std::strerror(errno));
    }
}

// The watcher thread: turns a signal, a broken sink or the end of the
// duration into a Stop, and rewrites the statistics file.
void CMuxRun::Watch()
{
    // Output packets that make the duration; the engine ends the run there
    // itself, this only backs it up where it cannot.
    const long long llDurationPackets =
        m_cmd.fDuration > 0
            ? std::llround(std::ceil(m_cmd.fDuration * m_fBitRate / 8 / kPacketBytes))
            : 0;
    auto tNextStats = std::chrono::steady_clock::now() + kStatsPeriod;
    bool bStopped = false;
    while (!m_bDone.load()) {
        const int nSignal = m_signals.Wait(kWatchMs);
        const bool bDurationOver =
            llDurationPackets > 0 && m_pSink->GetPackets() >= llDurationPackets;
        if (!bStopped && (nSignal != 0 || m_pSink->IsBroken() || bDurationOver)) {
            m_pMux->Stop();
            bStopped = true;
        }
        if (std::chrono::steady_clock::now() >= tNextStats && !m_bDone.load()) {
            WriteStats("running");
            tNextStats += kStatsPeriod;
        }
    }
}

int CMuxRun::Execute()
{
    m_console.Attach(); // the library's lines go through the console from the first one
    if (int nStatus = Prepare(); nStatus != kExitOk) {
        return nStatus;
    }
    Configure();
    if (!m_cmd.sStatsPath.empty()) {
        m_pStats = std::make_unique<CStatsFile>(m_cmd.sStatsPath);
    }
    std::string sReason;
    std::unique_ptr<COutPutModuleBase> pOutput = OpenOutput(m_cmd.sOutput, sReason);
    if (!pOutput) {
        m_console.Error("cannot create output file " + m_cmd.sOutput + ": " + sReason);
        return kExitIo;
    }
    m_pSinkOwner = std::make_unique<CWatchedSink>(std::move(pOutput));
    m_pSink = m_pSinkOwner.get();
    m_pMux->SetOutPutModule(m_pSink);

    CProgressLine progress(m_console);
    progress.Start([this] { return m_pSink->GetPackets() * kPacketBytes; }, m_fBitRate);
    m_tStart = std::chrono::steady_clock::now();
    std::thread watcher(&CMuxRun::Watch, this);
    m_pMux->Run();
    if (!m_pMux->IsFailed()) {
        m_pMux->WaitFinish();
    }
    m_bDone.store(true);
    m_signals.Wake();
    watcher.join();
    progress.Stop();
    return Finish();
}

// After WaitFinish: closes everything, then reports, most serious first.
int CMuxRun::Finish()
{
    const std::string& sOut = m_cmd.sOutput;
    _MUX_STATS stats;
    const bool bFigures = m_pMux->GetStats(stats);
    const int nOmitted = m_pMux->GetOmittedProgramCount();
    int nOmittedInput = 0;
    int nOmittedProgram = 0;
    const bool bFirstOmitted = m_pMux->GetOmittedProgram(0, nOmittedInput, nOmittedProgram);
    const bool bFailed = m_pMux->IsFailed();
    ReleaseInputs(m_vInputs);
    m_pSink->Destroy(); // closes the file, so that a failing close is seen too
    const bool bBroken = m_pSink->IsBroken();
    const int nSignal = CSignalStop::GetSignal();
    long long llLost = 0;
    if (bFigures) {
        for (const _MUX_INPUT_STATS& in : stats.vInputs) {
            llLost += in.llDropped + in.llLate;
        }
    }

    WriteStats(bBroken || bFailed ? "failed" : nSignal != 0 ? "stopped" : "finished");
    if (bFailed) {
        m_console.Error(sOut + ": the multiplex could not be started");
        return kExitIo;
    }
    if (bBroken) {
        m_console.Error(sOut + ": writing the output failed (disk full or I/O error); " +
                        Written(m_pSink->GetPackets(), sOut));
        return kExitIo;
    }
    if (nSignal != 0) {
        m_console.Error(std::string("stopped by ") + CSignalStop::Name(nSignal) + ": " +
                        Written(m_pSink->GetPackets(), sOut));
        return kExitSignalBase + nSignal;
    }
    if (m_bStatsFailed) {
        return kExitIo;
    }
    m_console.Out("mux finish!\n");
    if (bFigures) {
        m_console.Detail(Written(m_pSink->GetPackets(), sOut) + ", " +
                         std::to_string(stats.llNullSlots) + " null, " +
                         std::to_string(stats.llTableSlots) + " table packets");
    }
    if (nOmitted > 0) {
        std::string sFirst;
        if (bFirstOmitted) {
            sFirst = "; the first is input " + std::to_string(nOmittedInput) + " program " +
                     std::to_string(nOmittedProgram);
        }
        m_console.Error(std::to_string(nOmitted) + " program(s) left out of " + sOut +
                        ": PIDs or program numbers ran out" + sFirst);
    }
    if (llLost > 0) {
        m_console.Error(std::to_string(llLost) + " input packet(s) dropped or late in " + sOut);
    }
    return nOmitted > 0 || llLost > 0 ? kExitIncomplete : kExitOk;
}

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
