#include "CCommandLine.h"

#include "CMetricsServer.h"
#include "IoNames.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

constexpr int kMaxId = 0xFFFF;                   // 16-bit identifiers of PAT, SDT, NIT
constexpr size_t kMaxNetworkName = 255;          // a descriptor's payload, bytes
constexpr long long kMaxRateBps = 1'000'000'000; // far above any DVB multiplex
constexpr int kMinRateBps = 1;
constexpr double kMaxInputTimeout = 86400; // a day
constexpr int kLongOnly = 256;             // getopt value of a long-only option: this plus its row
constexpr int kMinIntervalMs = 25;         // table intervals: DVB's least between sections
constexpr int kMaxSdtIntervalMs = 2000;    // ... and its longest for the SDT
constexpr int kMaxNitIntervalMs = 10000;   // ... and for the NIT
// --realtime without a value: above the kernel's own threads' default of
// 1 and below what interrupt threads and watchdogs use (50 and up).
constexpr int kDefaultRealtimePriority = 10;
constexpr int kMaxRealtimePriority = 99;

// A whole decimal integer in [nMin, nMax]; anything else (sign junk, hex,
// trailing text, overflow) is refused rather than read in part.
bool ParseInteger(const char* szText, long long nMin, long long nMax, long long& nValue)
{
    if (szText == nullptr || *szText == '\0') {
        return false;
    }
    char* pEnd = nullptr;
    errno = 0;
    const long long n = std::strtoll(szText, &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || n < nMin || n > nMax) {
        return false;
    }
    nValue = n;
    return true;
}

// Seconds, more than 0 and at most fMax; szRange says the range in the refusal.
std::string ParseSeconds(const char* szName, const char* szValue, double fMax, const char* szRange,
                         double& fValue)
{
    char* pEnd = nullptr;
    errno = 0;
    fValue = std::strtod(szValue, &pEnd);
    if (errno != 0 || pEnd == szValue || *pEnd != '\0' || !std::isfinite(fValue) || fValue <= 0 ||
        fValue > fMax) {
        return std::string("bad value for ") + szName + ": " + szValue + " (" + szRange + ")";
    }
    return "";
}

// A 16-bit identifier of the tables.
std::string ParseId(const char* szName, const char* szValue, int& nValue)
{
    long long n = 0;
    if (!ParseInteger(szValue, 0, kMaxId, n)) {
        return std::string("bad value for ") + szName + ": " + szValue + " (0 to 65535)";
    }
    nValue = int(n);
    return "";
}

std::string ApplyOutput(CCommandLine& cmd, const char* szValue)
{
    // The last would win, and the file meant first would never be written.
    if (cmd.bExplicitOutput) {
        return "-o given twice: " + cmd.sOutput + " and " + szValue;
    }
    cmd.sOutput = szValue;
    cmd.bExplicitOutput = true;
    return "";
}

std::string ApplyRate(CCommandLine& cmd, const char* szValue)
{
    if (!ParseInteger(szValue, kMinRateBps, kMaxRateBps, cmd.llRateBps)) {
        return std::string("bad value for --rate: ") + szValue +
               " (a whole number of bit/s, 1 to 1000000000)";
    }
    return "";
}

std::string ApplyNetworkName(CCommandLine& cmd, const char* szValue)
{
    cmd.sNetworkName = szValue;
    cmd.bNetworkName = true;
    // Counted as the NIT carries it: non-ASCII text takes a selector byte.
    const size_t nBytes = size_t(GetNetworkNameBytes(cmd.sNetworkName.c_str()));
    if (nBytes > kMaxNetworkName) {
        return "bad value for --network-name: longer than 255 bytes" +
               std::string(nBytes > cmd.sNetworkName.size() ? " with its UTF-8 selector byte" : "");
    }
    return "";
}

std::string ApplyServiceNames(CCommandLine& cmd, const char* szValue)
{
    const std::string sValue = szValue;
    if (sValue != "input" && sValue != "numbered") {
        return "bad value for --service-names: " + sValue + " (input or numbered)";
    }
    cmd.bInputServiceNames = sValue == "input";
    return "";
}

std::string ApplyCa(CCommandLine& cmd, const char* szValue)
{
    const std::string sValue = szValue;
    if (sValue != "pass" && sValue != "drop") {
        return "bad value for --ca: " + sValue + " (pass or drop)";
    }
    cmd.bCaPass = sValue == "pass";
    return "";
}

// A table interval in whole milliseconds: DVB's 25 ms between sections up
// to its limit for the table.
std::string ParseInterval(const char* szName, const char* szValue, int nMaxMs, int& nValue)
{
    long long n = 0;
    if (!ParseInteger(szValue, kMinIntervalMs, nMaxMs, n)) {
        return std::string("bad value for ") + szName + ": " + szValue + " (ms, " +
               std::to_string(kMinIntervalMs) + " to " + std::to_string(nMaxMs) + ")";
    }
    nValue = int(n);
    return "";
}

std::string ApplyStats(CCommandLine& cmd, const char* szValue)
{
    cmd.sStatsPath = szValue;
    if (cmd.sStatsPath.empty()) {
        return "bad value for --stats: an empty file name";
    }
    return "";
}

std::string ApplyMetrics(CCommandLine& cmd, const char* szValue)
{
    sockaddr_in addr{};
    std::string sWhy;
    if (!CMetricsServer::ParseAddress(szValue, addr, sWhy)) {
        return std::string("bad value for --metrics: ") + szValue + " (" + sWhy + ")";
    }
    cmd.sMetrics = szValue;
    return "";
}

// --programs LIST: program numbers of the input named next, each IN or
// IN:OUT for the output number it gets.
std::string ApplyPrograms(CCommandLine& cmd, const char* szValue)
{
    const std::string sList = szValue;
    const std::string sBad = "bad value for --programs: " + sList;
    if (!cmd.sNextPrograms.empty()) {
        return "--programs " + cmd.sNextPrograms + " and " + sList + " for the same input";
    }
    std::vector<CProgramPick> vPicks;
    size_t nFrom = 0;
    do {
        const size_t nComma = std::min(sList.find(',', nFrom), sList.size());
        const std::string sItem = sList.substr(nFrom, nComma - nFrom);
        const size_t nColon = sItem.find(':');
        long long nIn = 0, nOut = -1;
        if (!ParseInteger(sItem.substr(0, nColon).c_str(), 1, kMaxId, nIn) ||
            (nColon != std::string::npos &&
             !ParseInteger(sItem.substr(nColon + 1).c_str(), 1, kMaxId, nOut))) {
            return sBad + " (program numbers 1 to 65535, each IN or IN:OUT, with commas between)";
        }
        for (const CProgramPick& pick : vPicks) {
            if (pick.nIn == nIn) {
                return sBad + " (program " + std::to_string(nIn) + " listed twice)";
            }
        }
        vPicks.push_back(CProgramPick{int(nIn), int(nOut)});
        nFrom = nComma + 1;
    } while (nFrom <= sList.size());
    cmd.sNextPrograms = sList;
    cmd.vNextPrograms = std::move(vPicks);
    return "";
}

std::string ApplyRealtime(CCommandLine& cmd, const char* szValue)
{
    long long nPriority = kDefaultRealtimePriority;
    if (szValue != nullptr && !ParseInteger(szValue, 1, kMaxRealtimePriority, nPriority)) {
        return std::string("bad value for --realtime: ") + szValue + " (a priority, 1 to 99)";
    }
    cmd.nRealtimePriority = int(nPriority);
    return "";
}

// Takes an option's value (null when it has none); returns the refusal,
// empty when the value is taken.
using ApplyFn = std::string (*)(CCommandLine& cmd, const char* szValue);

// One option of the program. A new option is a field in CCommandLine, a row
// here and its lines in the help text and the manual.
struct COptionRow
{
    const char* szLong;          // null: short only
    char cShort;                 // 0: long only
    int nArgument;               // no_argument, required_argument or optional_argument
    CCommandLine::Action action; // Help or Version end the parse; Run applies fnApply
    ApplyFn fnApply;
};

using Action = CCommandLine::Action;

const COptionRow kRows[] = {
    {"fast", 0, no_argument, Action::Run,
     [](CCommandLine& cmd, const char*) -> std::string {
         cmd.bFast = true;
         return "";
     }},
    {nullptr, 'o', required_argument, Action::Run, ApplyOutput},
    {"rate", 0, required_argument, Action::Run, ApplyRate},
    {"tsid", 0, required_argument, Action::Run,
     [](CCommandLine& cmd, const char* szValue) { return ParseId("--tsid", szValue, cmd.nTsId); }},
    {"onid", 0, required_argument, Action::Run,
     [](CCommandLine& cmd, const char* szValue) { return ParseId("--onid", szValue, cmd.nOnid); }},
    {"network-id", 0, required_argument, Action::Run,
     [](CCommandLine& cmd, const char* szValue) {
         return ParseId("--network-id", szValue, cmd.nNetworkId);
     }},
    {"network-name", 0, required_argument, Action::Run, ApplyNetworkName},
    {"duration", 't', required_argument, Action::Run,
     [](CCommandLine& cmd, const char* szValue) {
         return ParseSeconds("--duration", szValue, HUGE_VAL, "seconds, more than 0",
                             cmd.fDuration);
     }},
    {"quiet", 'q', no_argument, Action::Run,
     [](CCommandLine& cmd, const char*) -> std::string {
         cmd.bQuiet = true;
         return "";
     }},
    {"verbose", 'v', no_argument, Action::Run,
     [](CCommandLine& cmd, const char*) -> std::string {
         cmd.bVerbose = true;
         return "";
     }},
    {"stats", 0, required_argument, Action::Run, ApplyStats},
    {"sdt-interval", 0, required_argument, Action::Run,
     [](CCommandLine& cmd, const char* szValue) {
         return ParseInterval("--sdt-interval", szValue, kMaxSdtIntervalMs, cmd.nSdtIntervalMs);
     }},
    {"nit-interval", 0, required_argument, Action::Run,
     [](CCommandLine& cmd, const char* szValue) {
         return ParseInterval("--nit-interval", szValue, kMaxNitIntervalMs, cmd.nNitIntervalMs);
     }},
    {"service-names", 0, required_argument, Action::Run, ApplyServiceNames},
    {"ca", 0, required_argument, Action::Run, ApplyCa},
    {"loop", 0, no_argument, Action::Run,
     [](CCommandLine& cmd, const char*) -> std::string {
         cmd.bLoop = true;
         return "";
     }},
    // The timeout goes to the engine (or the network source) in whole milliseconds.
    {"input-timeout", 0, required_argument, Action::Run,
     [](CCommandLine& cmd, const char* szValue) {
         return ParseSeconds("--input-timeout", szValue, kMaxInputTimeout,
                             "seconds, more than 0, at most 86400", cmd.fInputTimeout);
     }},
    {"start-wait", 0, required_argument, Action::Run,
     [](CCommandLine& cmd, const char* szValue) {
         return ParseSeconds("--start-wait", szValue, kMaxInputTimeout,
                             "seconds, more than 0, at most 86400", cmd.fStartWait);
     }},
    {"input-timeout-ends", 0, no_argument, Action::Run,
     [](CCommandLine& cmd, const char*) -> std::string {
         cmd.bInputTimeoutEnds = true;
         return "";
     }},
    {"metrics", 0, required_argument, Action::Run, ApplyMetrics},
    {"realtime", 0, optional_argument, Action::Run, ApplyRealtime},
    {"programs", 0, required_argument, Action::Run, ApplyPrograms},
    {"help", 0, no_argument, Action::Help, nullptr},
    {"version", 0, no_argument, Action::Version, nullptr},
};
constexpr int kRowCount = int(sizeof kRows / sizeof kRows[0]);

// The row getopt_long's value stands for; null for none.
const COptionRow* FindRow(int nOpt)
{
    if (nOpt >= kLongOnly && nOpt < kLongOnly + kRowCount) {
        return &kRows[nOpt - kLongOnly];
    }
    for (const COptionRow& row : kRows) {
        if (row.cShort != 0 && row.cShort == nOpt) {
            return &row;
        }
    }
    return nullptr;
}

// The option getopt_long just refused, as typed: a short one from optopt
// (it may sit inside a cluster like -qx), a long one from the argument it
// stepped over.
std::string Typed(int argc, char** argv)
{
    if (optopt > 0 && optopt < 128) {
        return std::string("-") + char(optopt);
    }
    const int nArg = optind - 1;
    std::string sArg = nArg > 0 && nArg < argc ? argv[nArg] : "";
    return sArg.substr(0, sArg.find('='));
}

} // namespace

CCommandLine::Action CCommandLine::Refuse(const std::string& sWhat)
{
    m_sError = sWhat;
    return Action::Error;
}

CCommandLine::Action CCommandLine::Parse(int argc, char** argv)
{
    std::vector<option> vLong;
    // '-': the arguments in order, each file as the value of option 1, so
    // that --programs applies to the input named next; a missing value
    // returns ':', told apart from an unknown option.
    std::string sShort = "-:";
    for (int i = 0; i < kRowCount; ++i) {
        const COptionRow& row = kRows[i];
        if (row.szLong != nullptr) {
            vLong.push_back(
                {row.szLong, row.nArgument, nullptr, row.cShort != 0 ? row.cShort : kLongOnly + i});
        }
        if (row.cShort != 0) {
            sShort += row.cShort;
            sShort += row.nArgument == required_argument   ? ":"
                      : row.nArgument == optional_argument ? "::"
                                                           : "";
        }
    }
    vLong.push_back({nullptr, 0, nullptr, 0});

    std::vector<std::string> vPositional;
    std::vector<std::vector<CProgramPick>> vProgramsAt; // parallel to vPositional
    auto TakePositional = [&](const char* szArg) {
        vPositional.emplace_back(szArg);
        vProgramsAt.push_back(std::move(vNextPrograms));
        vNextPrograms.clear();
        sNextPrograms.clear();
    };
    opterr = 0; // the messages are ours, in the program's form
    optind = 0; // a fresh scan (glibc), also when called twice
    for (;;) {
        optopt = 0;
        const int nOpt = getopt_long(argc, argv, sShort.c_str(), vLong.data(), nullptr);
        if (nOpt == -1) {
            break;
        }
        if (nOpt == 1) {
            TakePositional(optarg);
            continue;
        }
        if (nOpt == ':') {
            return Refuse("option " + Typed(argc, argv) + " needs a value");
        }
        const COptionRow* pRow = FindRow(nOpt);
        if (pRow == nullptr) {
            return Refuse("unknown option " + Typed(argc, argv));
        }
        if (pRow->action != Action::Run) {
            return pRow->action;
        }
        if (std::string sRefusal = pRow->fnApply(*this, optarg); !sRefusal.empty()) {
            return Refuse(sRefusal);
        }
    }
    if (bQuiet && bVerbose) {
        return Refuse("--quiet and --verbose exclude each other");
    }
    if (bFast && nRealtimePriority > 0) {
        return Refuse("--fast and --realtime exclude each other");
    }
    for (int i = optind; i < argc; ++i) {
        TakePositional(argv[i]); // after "--"
    }
    if (!sNextPrograms.empty()) {
        return Refuse("--programs " + sNextPrograms + " names no input after it");
    }
    if (bExplicitOutput) {
        // With -o every positional argument is an input.
        if (vPositional.empty()) {
            return Action::Usage;
        }
        vInputs = vPositional;
        vPrograms = vProgramsAt;
        if (CheckPrograms(vProgramsAt, vPositional) == Action::Error) {
            return Action::Error;
        }
        return CheckInputs();
    }
    if (vPositional.size() < 3) {
        return Action::Usage;
    }
    if (vPositional.size() > 3) {
        // A slip of the hand must not pick one of the inputs as the output.
        return Refuse("too many arguments: " + std::to_string(vPositional.size()) +
                      " files given, the form takes two inputs and an output (more inputs: -o)");
    }
    vInputs = {vPositional[0], vPositional[1]};
    sOutput = vPositional[2];
    vPrograms = {vProgramsAt[0], vProgramsAt[1]};
    if (!vProgramsAt[2].empty()) {
        return Refuse("--programs before the output " + sOutput +
                      ": it applies to the input named next after it");
    }
    if (CheckPrograms(vProgramsAt, vPositional) == Action::Error) {
        return Action::Error;
    }
    return CheckInputs();
}

CCommandLine::Action CCommandLine::CheckPrograms(const std::vector<std::vector<CProgramPick>>& vAt,
                                                 const std::vector<std::string>& vPositional)
{
    // An output number is one program's; two asks for it could not both be kept.
    std::vector<std::pair<int, size_t>> vAsked; // output number, input index
    for (size_t i = 0; i < vAt.size(); ++i) {
        for (const CProgramPick& pick : vAt[i]) {
            for (const auto& asked : vAsked) {
                if (pick.nOut > 0 && asked.first == pick.nOut) {
                    return Refuse("bad value for --programs: output program number " +
                                  std::to_string(pick.nOut) + " asked for twice (" +
                                  vPositional[asked.second] + " and " + vPositional[i] + ")");
                }
            }
            if (pick.nOut > 0) {
                vAsked.emplace_back(pick.nOut, i);
            }
        }
    }
    return Action::Run;
}

CCommandLine::Action CCommandLine::CheckInputs()
{
    // Two readers of one pipe would each get every other piece of it.
    if (std::count_if(vInputs.begin(), vInputs.end(),
                      [](const std::string& s) { return IsStdName(s.c_str()); }) > 1) {
        return Refuse("standard input (-) can be only one of the inputs");
    }
    for (const std::string& sInput : vInputs) {
        // A network input comes at its sender's pace; output time cannot
        // run ahead of it.
        if (bFast && IsNetworkName(sInput.c_str())) {
            return Refuse("--fast cannot be used with the network input " + sInput);
        }
        if (bLoop && IsStreamName(sInput.c_str())) {
            return Refuse("--loop needs file inputs; " + sInput + " can be read only once");
        }
    }
    if (bInputTimeoutEnds && fInputTimeout <= 0) {
        return Refuse("--input-timeout-ends needs --input-timeout");
    }
    if (bLoop && bFast && fDuration <= 0) {
        return Refuse("--loop with --fast never ends: give --duration");
    }
    return Action::Run;
}
