#include "CCommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Action = CCommandLine::Action;

struct Case
{
    const char* szName;
    std::vector<std::string> vArgs; // after the program name
    Action action;
    const char* szError; // part of the message for Action::Error
};

CCommandLine::Action Parse(CCommandLine& cmd, std::vector<std::string> vArgs)
{
    vArgs.insert(vArgs.begin(), "braidmill");
    std::vector<char*> vArgv;
    for (std::string& s : vArgs) {
        vArgv.push_back(s.data());
    }
    vArgv.push_back(nullptr);
    return cmd.Parse(int(vArgs.size()), vArgv.data());
}

class CCommandLineTest : public ::testing::TestWithParam<Case>
{
};

} // namespace

TEST_P(CCommandLineTest, ActsOnTheCommandLine)
{
    CCommandLine cmd;
    const Case& c = GetParam();
    EXPECT_EQ(Parse(cmd, c.vArgs), c.action);
    if (c.action == Action::Error) {
        EXPECT_NE(cmd.GetError().find(c.szError), std::string::npos) << cmd.GetError();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CCommandLineTest,
    ::testing::Values(
        Case{"NoArguments", {}, Action::Usage, ""}, Case{"TwoFiles", {"a", "b"}, Action::Usage, ""},
        Case{"OptionsDoNotCountAsFiles", {"--fast", "a", "-q", "b"}, Action::Usage, ""},
        Case{"OutputWithoutInputs", {"-o", "out"}, Action::Usage, ""},
        Case{"FourFiles", {"a", "b", "c", "d"}, Action::Error, "too many arguments"},
        Case{"HelpAnywhere", {"a", "b", "c", "--help"}, Action::Help, ""},
        Case{"VersionBeforeExtraFiles", {"--version", "a", "b", "c", "d"}, Action::Version, ""},
        Case{"UnknownLong", {"a", "b", "c", "--slow"}, Action::Error, "unknown option --slow"},
        Case{"UnknownShortInCluster", {"-qz", "a", "b", "c"}, Action::Error, "unknown option -z"},
        Case{"MissingValue", {"a", "b", "c", "--rate"}, Action::Error, "--rate needs a value"},
        Case{"RateWithText", {"--rate", "5M", "a", "b", "c"}, Action::Error, "--rate: 5M"},
        Case{"RateZero", {"--rate=0", "a", "b", "c"}, Action::Error, "--rate: 0"},
        Case{"TsidTooBig", {"--tsid", "65536", "a", "b", "c"}, Action::Error, "--tsid: 65536"},
        Case{"OnidNegative", {"--onid=-1", "a", "b", "c"}, Action::Error, "--onid: -1"},
        Case{"NetworkIdHex",
             {"--network-id", "0x10", "a", "b", "c"},
             Action::Error,
             "--network-id: 0x10"},
        Case{"NameTooLong",
             {"--network-name", std::string(256, 'n'), "a", "b", "c"},
             Action::Error,
             "longer than 255"},
        Case{"DurationZero", {"-t", "0", "a", "b", "c"}, Action::Error, "--duration: 0"},
        Case{"DurationNotANumber",
             {"--duration", "nan", "a", "b", "c"},
             Action::Error,
             "--duration: nan"},
        Case{"QuietAndVerbose", {"-q", "-v", "a", "b", "c"}, Action::Error, "exclude"},
        Case{"ServiceNamesUnknown", {"--service-names", "inputs", "a", "b", "c"}, Action::Error,
             "--service-names: inputs"},
        Case{"CaUnknown", {"--ca", "keep", "a", "b", "c"}, Action::Error,
             "--ca: keep (pass or drop)"},
        Case{"FastWithNetworkInput", {"--fast", "a", "udp://127.0.0.1:5000", "c"}, Action::Error,
             "--fast cannot be used with the network input udp://127.0.0.1:5000"},
        Case{"FastWithNetworkOutput", {"--fast", "a", "b", "udp://127.0.0.1:5000"}, Action::Run,
             ""},
        Case{"FastWithSrtInput", {"--fast", "srt://:5000", "b", "c"}, Action::Error,
             "--fast cannot be used with the network input srt://:5000"},
        Case{"LoopWithSrtInput", {"--loop", "a", "srt://:5000", "c"}, Action::Error,
             "srt://:5000 can be read only once"},
        Case{"LoopWithStandardInput", {"--loop", "-", "b", "c"}, Action::Error,
             "--loop needs file inputs; - can be read only once"},
        Case{"LoopFastWithoutDuration", {"--loop", "--fast", "a", "b", "c"}, Action::Error,
             "give --duration"},
        Case{"LoopFastWithDuration", {"--loop", "--fast", "-t", "5", "a", "b", "c"}, Action::Run, ""},
        Case{"InputTimeoutZero", {"--input-timeout", "0", "a", "b", "c"}, Action::Error,
             "--input-timeout: 0"},
        Case{"InputTimeoutOverADay", {"--input-timeout", "90000", "a", "b", "c"}, Action::Error,
             "at most 86400"},
        Case{"SdtIntervalBelowDvbsLeast", {"--sdt-interval", "24", "a", "b", "c"}, Action::Error,
             "--sdt-interval: 24 (ms, 25 to 2000)"},
        Case{"SdtIntervalAtItsLimit", {"--sdt-interval", "2000", "a", "b", "c"}, Action::Run, ""},
        Case{"NitIntervalPastItsLimit", {"--nit-interval=10001", "a", "b", "c"}, Action::Error,
             "--nit-interval: 10001 (ms, 25 to 10000)"},
        Case{"OutputTwice", {"-o", "x.ts", "a", "-o", "y.ts"}, Action::Error,
             "-o given twice: x.ts and y.ts"},
        Case{"StandardInputTwice", {"-", "-", "c"}, Action::Error,
             "standard input (-) can be only one of the inputs"},
        Case{"StandardInAndOut", {"-", "b", "-"}, Action::Run, ""},
        // With the UTF-8 selector the NIT takes one byte more than typed.
        Case{"NonAsciiNameFits",
             {"--network-name", std::string(252, 'n') + "\xC3\xA9", "a", "b", "c"}, Action::Run,
             ""},
        Case{"NonAsciiNamePastTheSelector",
             {"--network-name", std::string(253, 'n') + "\xC3\xA9", "a", "b", "c"}, Action::Error,
             "longer than 255 bytes with its UTF-8 selector byte"},
        Case{"MetricsWithoutPort", {"--metrics", "127.0.0.1", "a", "b", "c"}, Action::Error,
             "bad value for --metrics: 127.0.0.1 (HOST:PORT)"},
        Case{"MetricsPortPast16Bits", {"--metrics=127.0.0.1:65536", "a", "b", "c"}, Action::Error,
             "--metrics: 127.0.0.1:65536 (a port 0 to 65535)"},
        Case{"MetricsHighestPort", {"--metrics", "127.0.0.1:65535", "a", "b", "c"}, Action::Run, ""},
        Case{"MetricsWithoutHost", {"--metrics", ":9100", "a", "b", "c"}, Action::Error,
             "(HOST:PORT)"},
        Case{"MetricsIpv6", {"--metrics", "::1:9100", "a", "b", "c"}, Action::Error,
             "(an IPv4 address or a host name)"},
        Case{"MetricsPortDigitsOnly", {"--metrics", "127.0.0.1:9x", "a", "b", "c"}, Action::Error,
             "(a port 0 to 65535)"},
        Case{"RealtimePriorityZero", {"--realtime=0", "a", "b", "c"}, Action::Error,
             "--realtime: 0 (a priority, 1 to 99)"},
        Case{"RealtimePriorityTooHigh", {"--realtime=100", "a", "b", "c"}, Action::Error,
             "--realtime: 100"},
        Case{"RealtimeWithFast", {"--fast", "--realtime", "a", "b", "c"}, Action::Error,
             "--fast and --realtime exclude each other"},
        Case{"ProgramsOutputNumberTwiceAcrossInputs",
             {"--programs", "1:300", "a", "--programs", "2,5:300", "b", "c"}, Action::Error,
             "--programs: output program number 300 asked for twice (a and b)"},
        Case{"ProgramsInputNumberTwice", {"--programs", "3,3:7", "a", "b", "c"}, Action::Error,
             "--programs: 3,3:7 (program 3 listed twice)"},
        Case{"ProgramsZero", {"--programs", "0", "a", "b", "c"}, Action::Error,
             "--programs: 0 (program numbers 1 to 65535"},
        Case{"ProgramsPast16Bits", {"--programs", "1:65536", "a", "b", "c"}, Action::Error,
             "--programs: 1:65536"},
        Case{"ProgramsEmptyItem", {"--programs", "1,", "a", "b", "c"}, Action::Error,
             "--programs: 1,"},
        Case{"ProgramsBeforeTheOutput", {"a", "b", "--programs", "1", "c"}, Action::Error,
             "--programs before the output c"},
        Case{"ProgramsAfterTheLastInput", {"-o", "c", "a", "--programs", "1"}, Action::Error,
             "--programs 1 names no input after it"},
        Case{"ProgramsTwiceForOneInput", {"--programs", "1", "--programs", "2", "a", "b", "c"},
             Action::Error, "--programs 1 and 2 for the same input"},
        Case{"ProgramsHighestNumbers", {"--programs", "65535:65535", "a", "b", "c"}, Action::Run,
             ""}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.szName); });

// --programs belongs to the input named next after it, also after "--".
TEST(CCommandLineValuesTest, ProgramsGoWithTheInputNamedNext)
{
    CCommandLine cmd;
    ASSERT_EQ(Parse(cmd, {"-o", "out.ts", "x.ts", "--programs", "1,3:205", "y.ts", "--programs",
                          "7", "--", "-z.ts"}),
              Action::Run)
        << cmd.GetError();
    ASSERT_EQ(cmd.vInputs, (std::vector<std::string>{"x.ts", "y.ts", "-z.ts"}));
    ASSERT_EQ(cmd.vPrograms.size(), 3u);
    EXPECT_TRUE(cmd.vPrograms[0].empty());
    ASSERT_EQ(cmd.vPrograms[1].size(), 2u);
    EXPECT_EQ(cmd.vPrograms[1][0].nIn, 1);
    EXPECT_EQ(cmd.vPrograms[1][0].nOut, -1);
    EXPECT_EQ(cmd.vPrograms[1][1].nIn, 3);
    EXPECT_EQ(cmd.vPrograms[1][1].nOut, 205);
    ASSERT_EQ(cmd.vPrograms[2].size(), 1u);
    EXPECT_EQ(cmd.vPrograms[2][0].nIn, 7);
}

TEST(CCommandLineValuesTest, OptionsAnywhereKeepThePositionalOrder)
{
    CCommandLine cmd;
    ASSERT_EQ(Parse(cmd, {"a.ts", "--fast", "b.ts", "--rate", "5000000", "out.ts", "-t", "1.5",
                          "--tsid=7", "--onid", "8", "--network-id", "9", "--network-name", "",
                          "--stats", "s.json", "-v", "--service-names", "input", "--metrics",
                          "127.0.0.1:0", "--nit-interval", "25", "--sdt-interval=1500", "--ca",
                          "pass"}),
              Action::Run);
    EXPECT_EQ(cmd.vInputs, (std::vector<std::string>{"a.ts", "b.ts"}));
    EXPECT_EQ(cmd.sOutput, "out.ts");
    EXPECT_TRUE(cmd.bFast);
    EXPECT_TRUE(cmd.bVerbose);
    EXPECT_EQ(cmd.llRateBps, 5'000'000);
    EXPECT_DOUBLE_EQ(cmd.fDuration, 1.5);
    EXPECT_EQ(cmd.nTsId, 7);
    EXPECT_EQ(cmd.nOnid, 8);
    EXPECT_EQ(cmd.nNetworkId, 9);
    EXPECT_TRUE(cmd.bNetworkName); // an empty name is still a name
    EXPECT_EQ(cmd.sStatsPath, "s.json");
    EXPECT_TRUE(cmd.bInputServiceNames);
    EXPECT_TRUE(cmd.bCaPass);
    EXPECT_EQ(cmd.nSdtIntervalMs, 1500);
    EXPECT_EQ(cmd.nNitIntervalMs, 25);
    EXPECT_EQ(cmd.sMetrics, "127.0.0.1:0"); // 0: any free port

    // With -o every positional argument is an input, in order.
    CCommandLine explicitForm;
    ASSERT_EQ(Parse(explicitForm, {"x.ts", "-o", "out.ts", "y.ts", "z.ts", "w.ts"}), Action::Run);
    EXPECT_EQ(explicitForm.vInputs, (std::vector<std::string>{"x.ts", "y.ts", "z.ts", "w.ts"}));
    EXPECT_EQ(explicitForm.nTsId, -1); // not given: the library's default
    EXPECT_EQ(explicitForm.nRealtimePriority, 0);
    EXPECT_FALSE(explicitForm.bCaPass); // drop unless asked

    // --realtime takes its priority only after '=': a separate word is a file.
    CCommandLine realtime;
    ASSERT_EQ(Parse(realtime, {"--realtime", "a", "b", "c"}), Action::Run);
    EXPECT_EQ(realtime.nRealtimePriority, 10);
    EXPECT_EQ(realtime.vInputs.size(), 2u);
    ASSERT_EQ(Parse(realtime, {"--realtime=99", "a", "b", "c"}), Action::Run);
    EXPECT_EQ(realtime.nRealtimePriority, 99);
}
