// The console program's run: everything between a parsed command line and
// the exit status.
#include "CMuxRun.h"

#include "CCommandLine.h"
#include "CConsole.h"
#include "CPcrRateScanner.h"
#include "CProgressLine.h"
#include "IoNames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr int kReadBufferSize = 4096 * 188;     // packets per read: large reads, little memory
constexpr double kRateUnit = 1024.0 * 1024.0;  // bit/s per unit of the output rate
constexpr long long kTableAllowance = 524'288; // bit/s of the rate's extra unit kept for tables
// How long main sleeps between looks at the inputs while they analyse their tables.
constexpr auto kReadyPoll = std::chrono::milliseconds(5);
// The watcher's period: a failed write or a signal stops the run within it.
constexpr int kWatchMs = 100;
constexpr auto kStatsPeriod = std::chrono::seconds(2);
// How long an input read as it comes may take to show its programs and a
// rate; a network input without a sender fails here instead of waiting
// for ever.
constexpr auto kStreamWait = std::chrono::seconds(10);
// After the first rate of such an input, PCRs gathered this much longer
// before the rate is taken: a stretch of a VBR stream is not its rate.
constexpr auto kRateSettle = std::chrono::milliseconds(500);

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

// The library's estimate from the file's start, or where it has none for a
// readable file, one from a longer stretch. -1 (with the message written)
// when neither works.
int EstimateRate(const std::string& sPath, CConsole& console)
{
    CPcrRateScanner scanner;
    const CPcrRateScanner::Result result = scanner.Scan(sPath.c_str());
    const int nPacketSize = scanner.GetPacketSize();
    if (nPacketSize > 0 && nPacketSize != 188) {
        console.Note(sPath + ": " + std::to_string(nPacketSize) + "-byte packets, read as 188");
    }
    if (result != CPcrRateScanner::Result::kOk) {
        console.Error(sPath + ": " + scanner.Describe(result));
        return -1;
    }
    if (scanner.IsFromStart()) {
        return scanner.GetBitRate();
    }
    char szNote[256];
    std::snprintf(szNote, sizeof szNote,
                  "no bit rate from the start of the file; %d bit/s estimated from %.1f s of PCRs "
                  "on PID 0x%04X",
                  scanner.GetBitRate(), scanner.GetMeasuredSeconds(),
                  unsigned(scanner.GetPcrPid()));
    console.Note(sPath + ": " + szNote);
    return scanner.GetBitRate();
}

// Starts the reader of an input on a new input module. False with the
// reason when it fails.
bool OpenInput(Input& input, const CCommandLine& cmd, std::string& sReason)
{
    input.pModule = new CInputModuleIface();
    _SOURCE_ATTRIBUTE attr = {};
    attr.bNoTiming = 0;
    attr.nTimingMode = 0; // paced by the input's own PCRs
    input.pModule->SetSourceAttribute(attr);
    input.pModule->SetLive(input.bLive);
    errno = 0;
    input.pSource = OpenInputByName(input.sPath.c_str(), input.pModule, kReadBufferSize, sReason);
    if (input.pSource == nullptr) {
        return false;
    }
    if (auto* pUdp = dynamic_cast<CSourceUdp*>(input.pSource)) {
        pUdp->SetTimeoutMs(int(std::lround(cmd.fInputTimeout * 1000)));
    }
    if (auto* pFile = dynamic_cast<CSourceFile*>(input.pSource)) {
        pFile->SetLoop(cmd.bLoop);
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

enum class Ready {
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
    return std::to_string(llPackets) + " packets (" + std::to_string(llPackets * kPacketBytes) +
           " bytes) written to " + sOutput;
}

} // namespace

CMuxRun::CMuxRun(const CCommandLine& cmd, CConsole& console) : m_cmd(cmd), m_console(console)
{
    for (const std::string& sPath : cmd.vInputs) {
        Input input;
        input.sPath = sPath;
        input.bStream = IsStreamName(sPath.c_str());
        // A pipe or a FIFO is not live: it gives what a file would, at the
        // writer's pace.
        input.bLive = IsNetworkName(sPath.c_str());
        m_vInputs.push_back(input);
    }
}

CMuxRun::~CMuxRun()
{
    // The library's order: sources, input modules, sink, engine.
    ReleaseInputs(m_vInputs);
    m_pSink.reset();
    delete m_pMux;
}

int CMuxRun::CheckFiles()
{
    const std::string& sOut = m_cmd.sOutput;
    // Standard output (by any name: opened already) and the network are no
    // files to create.
    const bool bFileOut = !m_pEarlyOutput && !IsNetworkName(sOut.c_str());
    std::string sReason;
    for (const Input& input : m_vInputs) {
        // Opening a FIFO here would wait for its writer.
        if (input.bStream) {
            continue;
        }
        if (!CheckInput(input.sPath, sReason)) {
            m_console.Error("cannot open input file " + input.sPath + ": " + sReason);
            return kExitIo;
        }
    }
    for (const Input& input : m_vInputs) {
        if (bFileOut && IsSameFile(input.sPath, sOut)) {
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
    if (bFileOut && !CheckOutput(sOut, sReason)) {
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
        if (input.bStream) {
            continue; // read once: its rate comes from what its reader has seen
        }
        // With --rate an input's own rate is only reported: one without
        // usable PCRs is still muxed, paced at its estimated rate.
        if (m_cmd.llRateBps > 0) {
            input.nRate = GetSourceRate(input.sPath.c_str());
        } else {
            input.nRate = EstimateRate(input.sPath, m_console);
            if (input.nRate < 0) {
                return kExitIo;
            }
        }
        if (input.nRate > 0) {
            m_console.Detail(input.sPath + ": " + std::to_string(input.nRate) + " bit/s");
        }
    }
    if (!m_signals.Install()) {
        m_console.Error(std::string("cannot install the signal handlers: ") + std::strerror(errno));
        return kExitIo;
    }
    if (int nStatus = OpenInputs(); nStatus != kExitOk) {
        return nStatus;
    }
    if (int nStatus = WaitForStreamRates(); nStatus != kExitOk) {
        return nStatus;
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

int CMuxRun::OpenInputs()
{
    std::string sReason;
    for (Input& input : m_vInputs) {
        if (!OpenInput(input, m_cmd, sReason)) {
            m_console.Error(sReason);
            return kExitIo;
        }
    }
    return kExitOk;
}

// Inputs read as they come have no rate before they are read: wait until
// each has its programs and a rate from its PCRs, within kStreamWait.
int CMuxRun::WaitForStreamRates()
{
    // Files were rated before they were opened: nothing to wait for.
    if (std::none_of(m_vInputs.begin(), m_vInputs.end(),
                     [](const Input& input) { return input.bStream; })) {
        return kExitOk;
    }
    const auto tLimit = std::chrono::steady_clock::now() + kStreamWait;
    auto tSettled = std::chrono::steady_clock::time_point::max();
    for (;;) {
        const int nSignal = CSignalStop::GetSignal();
        if (nSignal != 0) {
            m_console.Error(std::string("stopped by ") + CSignalStop::Name(nSignal) + " before " +
                            m_cmd.sOutput + " was opened");
            return kExitSignalBase + nSignal;
        }
        const Input* pMissing = nullptr;
        bool bNeedRate = false;
        for (const Input& input : m_vInputs) {
            if (!input.bStream) {
                continue;
            }
            if (input.pModule->CanNeverBeReady()) {
                return kExitOk; // said by the wait for the programs
            }
            // With --rate no input's rate is needed.
            if (!input.pModule->IsReady() ||
                (m_cmd.llRateBps == 0 && input.pModule->GetBitRate() <= 0)) {
                pMissing = &input;
                bNeedRate = input.pModule->IsReady();
                break;
            }
        }
        const auto tNow = std::chrono::steady_clock::now();
        if (pMissing == nullptr && tSettled == std::chrono::steady_clock::time_point::max()) {
            tSettled = m_cmd.llRateBps == 0 ? tNow + kRateSettle : tNow;
        }
        if (pMissing == nullptr && tNow >= tSettled) {
            break;
        }
        if (pMissing != nullptr && tNow >= tLimit) {
            m_console.Error(pMissing->sPath + ": " +
                            (bNeedRate ? "no bit rate from its PCRs within 10 s (give --rate)"
                                       : "no programs within 10 s (nothing received, or no PAT "
                                         "and PMT)"));
            return kExitIo;
        }
        std::this_thread::sleep_for(kReadyPoll);
    }
    for (Input& input : m_vInputs) {
        if (input.bStream) {
            input.nRate = input.pModule->GetBitRate();
            if (input.nRate > 0) {
                m_console.Detail(input.sPath + ": " + std::to_string(input.nRate) +
                                 " bit/s from its PCRs");
            }
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
        m_console.Note("the tables need " + std::to_string(llTables) +
                       " bit/s; output rate raised by " +
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
    // A file that starts again has no end; --duration or a signal ends it.
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
    m_pMux->SetServiceNames(m_cmd.bInputServiceNames);
}

void CMuxRun::WriteStats(const char* szState, const _MUX_STATS* pFinal)
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
    const bool bFigures = pFinal != nullptr || (m_pMux != nullptr && m_pMux->GetStats(stats));
    if (!m_pStats->Write(run, pFinal != nullptr ? pFinal : bFigures ? &stats : nullptr) &&
        !m_bStatsFailed) {
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
        // A network input ends only by --input-timeout; the run ends with it.
        bool bLiveEnded = false;
        for (const Input& input : m_vInputs) {
            bLiveEnded = bLiveEnded || (input.bLive && input.pModule->IsStreamEnd());
        }
        if (!bStopped && (nSignal != 0 || m_pSink->IsBroken() || bDurationOver || bLiveEnded)) {
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
    std::string sReason;
    if (IsStdoutName(m_cmd.sOutput.c_str())) {
        // Before the first line: from here on standard output carries the
        // multiplex alone, every line goes to standard error.
        m_pEarlyOutput.reset(OpenOutputByName(m_cmd.sOutput.c_str(), sReason));
        if (!m_pEarlyOutput) {
            m_console.Error(sReason);
            return kExitIo;
        }
    }
    m_console.Attach(); // the library's lines go through the console from the first one
    if (int nStatus = Prepare(); nStatus != kExitOk) {
        return nStatus;
    }
    Configure();
    if (!m_cmd.sStatsPath.empty()) {
        m_pStats = std::make_unique<CStatsFile>(m_cmd.sStatsPath);
    }
    std::unique_ptr<COutPutModuleBase> pOutput = std::move(m_pEarlyOutput);
    if (!pOutput) {
        pOutput.reset(OpenOutputByName(m_cmd.sOutput.c_str(), sReason));
    }
    if (!pOutput) {
        m_console.Error(sReason);
        return kExitIo;
    }
    SetOutputRate(pOutput.get(), std::llround(m_fBitRate));
    m_pSink = std::make_unique<CWatchedSink>(std::move(pOutput));
    m_pMux->SetOutPutModule(m_pSink.get());

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

    // The figures taken before the inputs went: the engine reads them live.
    WriteStats(bBroken || bFailed ? "failed" : nSignal != 0 ? "stopped" : "finished",
               bFigures ? &stats : nullptr);
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
