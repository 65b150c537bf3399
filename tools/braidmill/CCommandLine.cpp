#include "CCommandLine.h"

#include "IoNames.h"

#include <getopt.h>

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

enum Option {
    kOptFast = 256,
    kOptRate,
    kOptTsid,
    kOptOnid,
    kOptNetworkId,
    kOptNetworkName,
    kOptStats,
    kOptServiceNames,
    kOptHelp,
    kOptVersion,
    kOptLoop,
    kOptInputTimeout
};

const option kOptions[] = {
    {"fast", no_argument, nullptr, kOptFast},
    {"rate", required_argument, nullptr, kOptRate},
    {"tsid", required_argument, nullptr, kOptTsid},
    {"onid", required_argument, nullptr, kOptOnid},
    {"network-id", required_argument, nullptr, kOptNetworkId},
    {"network-name", required_argument, nullptr, kOptNetworkName},
    {"duration", required_argument, nullptr, 't'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"stats", required_argument, nullptr, kOptStats},
    {"service-names", required_argument, nullptr, kOptServiceNames},
    {"loop", no_argument, nullptr, kOptLoop},
    {"input-timeout", required_argument, nullptr, kOptInputTimeout},
    {"help", no_argument, nullptr, kOptHelp},
    {"version", no_argument, nullptr, kOptVersion},
    {nullptr, 0, nullptr, 0},
};

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
    bool bExplicitOutput = false;
    opterr = 0; // the messages are ours, in the program's form
    optind = 0; // a fresh scan (glibc), also when called twice
    for (;;) {
        optopt = 0;
        const int nOpt = getopt_long(argc, argv, ":o:t:qv", kOptions, nullptr);
        if (nOpt == -1) {
            break;
        }
        long long n = 0;
        switch (nOpt) {
        case kOptFast:
            bFast = true;
            break;
        case 'o':
            sOutput = optarg;
            bExplicitOutput = true;
            break;
        case kOptRate:
            if (!ParseInteger(optarg, kMinRateBps, kMaxRateBps, llRateBps)) {
                return Refuse(std::string("bad value for --rate: ") + optarg +
                              " (a whole number of bit/s, 1 to 1000000000)");
            }
            break;
        case kOptTsid:
        case kOptOnid:
        case kOptNetworkId: {
            const char* szName = nOpt == kOptTsid   ? "--tsid"
                                 : nOpt == kOptOnid ? "--onid"
                                                    : "--network-id";
            if (!ParseInteger(optarg, 0, kMaxId, n)) {
                return Refuse(std::string("bad value for ") + szName + ": " + optarg +
                              " (0 to 65535)");
            }
            (nOpt == kOptTsid ? nTsId : nOpt == kOptOnid ? nOnid : nNetworkId) = int(n);
            break;
        }
        case kOptNetworkName:
            sNetworkName = optarg;
            bNetworkName = true;
            if (sNetworkName.size() > kMaxNetworkName) {
                return Refuse("bad value for --network-name: longer than 255 bytes");
            }
            break;
        case kOptServiceNames:
            if (std::string(optarg) != "input" && std::string(optarg) != "numbered") {
                return Refuse(std::string("bad value for --service-names: ") + optarg +
                              " (input or numbered)");
            }
            bInputServiceNames = std::string(optarg) == "input";
            break;
        case 't':
        case kOptInputTimeout: {
            const char* szName = nOpt == 't' ? "--duration" : "--input-timeout";
            double& fValue = nOpt == 't' ? fDuration : fInputTimeout;
            char* pEnd = nullptr;
            errno = 0;
            fValue = std::strtod(optarg, &pEnd);
            // The timeout goes to the network source in whole milliseconds.
            const double fMax = nOpt == 't' ? HUGE_VAL : kMaxInputTimeout;
            if (errno != 0 || pEnd == optarg || *pEnd != '\0' || !std::isfinite(fValue) ||
                fValue <= 0 || fValue > fMax) {
                return Refuse(std::string("bad value for ") + szName + ": " + optarg +
                              (nOpt == 't' ? " (seconds, more than 0)"
                                           : " (seconds, more than 0, at most 86400)"));
            }
            break;
        }
        case kOptLoop:
            bLoop = true;
            break;
        case 'q':
            bQuiet = true;
            break;
        case 'v':
            bVerbose = true;
            break;
        case kOptStats:
            sStatsPath = optarg;
            if (sStatsPath.empty()) {
                return Refuse("bad value for --stats: an empty file name");
            }
            break;
        case kOptHelp:
            return Action::Help;
        case kOptVersion:
            return Action::Version;
        case ':':
            return Refuse("option " + Typed(argc, argv) + " needs a value");
        default:
            return Refuse("unknown option " + Typed(argc, argv));
        }
    }
    if (bQuiet && bVerbose) {
        return Refuse("--quiet and --verbose exclude each other");
    }
    std::vector<std::string> vPositional(argv + optind, argv + argc);
    if (bExplicitOutput) {
        // With -o every positional argument is an input.
        if (vPositional.empty()) {
            return Action::Usage;
        }
        vInputs = vPositional;
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
    return CheckInputs();
}

CCommandLine::Action CCommandLine::CheckInputs()
{
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
    if (bLoop && bFast && fDuration <= 0) {
        return Refuse("--loop with --fast never ends: give --duration");
    }
    return Action::Run;
}
