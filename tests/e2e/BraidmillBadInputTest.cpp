// The console program's arguments and its refusals: every unusable input or
// output ends the run quickly with a message naming it and status 1.
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace {

constexpr double kRunTimeout = 30.0; // s; longer means a hang
constexpr double kQuick = 10.0;      // s; inputs last two seconds, refusals come sooner
const char kUsage[] = "usage:braidmill infile1 infile2 outfile\n";

class BraidmillBadInputTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_sDir = CStreamMaker::MakeWorkDir();
        m_sOut = Path("mux.ts");
    }

    std::string Path(const char* szName) const { return m_sDir + "/" + szName; }

    ToolResult RunWith(const std::vector<std::string>& vArgs)
    {
        std::vector<std::string> vAll{BM_CLI_PATH};
        vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
        return CToolRun::Run(vAll, m_sDir, kRunTimeout);
    }

    // A good input for the other position.
    std::string GoodInput()
    {
        if (!CStreamMaker::HaveFfmpeg()) {
            return "";
        }
        std::string sPath = Path("good.ts");
        return CStreamMaker::MakeMpeg2(sPath, 2) ? sPath : "";
    }

    void ExpectRefused(const ToolResult& run, const std::string& sPath, const char* szReason)
    {
        EXPECT_FALSE(run.bTimedOut);
        EXPECT_EQ(run.nStatus, 1);
        EXPECT_LT(run.fSeconds, kQuick);
        EXPECT_NE(run.sErr.find(sPath), std::string::npos) << run.sErr;
        EXPECT_NE(run.sErr.find(szReason), std::string::npos) << run.sErr;
        EXPECT_EQ(run.sOut.find("mux finish!"), std::string::npos) << run.sOut;
    }

    std::string m_sDir;
    std::string m_sOut;
};

bool Exists(const std::string& sPath)
{
    struct stat st = {};
    return stat(sPath.c_str(), &st) == 0;
}

} // namespace

TEST_F(BraidmillBadInputTest, FewerThanThreeArgumentsPrintTheUsageLine)
{
    for (const std::vector<std::string>& vArgs :
         {std::vector<std::string>{}, {"a.ts"}, {"a.ts", "b.ts"}}) {
        ToolResult run = RunWith(vArgs);
        EXPECT_EQ(run.nStatus, 0);
        EXPECT_EQ(run.sOut, kUsage);
        EXPECT_EQ(run.sErr, "");
    }
}

TEST_F(BraidmillBadInputTest, HelpAndVersionAsFirstArgument)
{
    ToolResult help = RunWith({"--help"});
    EXPECT_EQ(help.nStatus, 0);
    EXPECT_EQ(help.sOut.rfind(kUsage, 0), 0u) << help.sOut;
    EXPECT_GT(help.sOut.size(), sizeof kUsage);
    ToolResult version = RunWith({"--version", "x", "y"});
    EXPECT_EQ(version.nStatus, 0);
    EXPECT_EQ(version.sOut, std::string("braidmill ") + BM_VERSION + "\n");
    EXPECT_FALSE(Exists(Path("y")));
}

TEST_F(BraidmillBadInputTest, MissingInputIsNamedBeforeAnythingRuns)
{
    std::string sMissing = Path("missing.ts");
    std::string sOther = Path("other.ts");
    ASSERT_TRUE(CStreamMaker::WriteFile(sOther, {}));
    for (const std::vector<std::string>& vArgs :
         {std::vector<std::string>{sMissing, sOther, m_sOut}, {sOther, sMissing, m_sOut}}) {
        ToolResult run = RunWith(vArgs);
        ExpectRefused(run, sMissing, "No such file or directory");
        EXPECT_EQ(run.sOut, "");
        EXPECT_FALSE(Exists(m_sOut));
    }
    ToolResult dir = RunWith({m_sDir, sOther, m_sOut});
    ExpectRefused(dir, m_sDir, "Is a directory");
}

TEST_F(BraidmillBadInputTest, UnusableOutputIsNamed)
{
    std::string sGood = GoodInput();
    if (sGood.empty()) {
        GTEST_SKIP() << "ffmpeg not installed";
    }
    std::string sNoDir = Path("no/such/dir/mux.ts");
    ExpectRefused(RunWith({sGood, sGood, sNoDir}), sNoDir, "No such file or directory");
    ExpectRefused(RunWith({sGood, sGood, m_sDir}), m_sDir, "Is a directory");
    ToolResult same = RunWith({sGood, sGood, sGood});
    ExpectRefused(same, sGood, "also an input");
    std::vector<uint8_t> vAfter;
    ASSERT_TRUE(CStreamMaker::ReadFile(sGood, vAfter));
    EXPECT_GT(vAfter.size(), 0u); // the input was not truncated
}

TEST_F(BraidmillBadInputTest, InputsThatAreNoTransportStreamAreNamed)
{
    std::string sGood = GoodInput();
    if (sGood.empty()) {
        GTEST_SKIP() << "ffmpeg not installed";
    }
    std::string sEmpty = Path("empty.ts");
    ASSERT_TRUE(CStreamMaker::WriteFile(sEmpty, {}));
    std::string sText = Path("text.ts");
    std::string sLine = "this is not a transport stream\n";
    std::vector<uint8_t> vText;
    for (int i = 0; i < 1000; ++i) {
        vText.insert(vText.end(), sLine.begin(), sLine.end());
    }
    ASSERT_TRUE(CStreamMaker::WriteFile(sText, vText));
    // Tables but no clock.
    std::string sNoPcr = Path("nopcr.ts");
    std::vector<uint8_t> vNoPcr;
    for (int i = 0; i < 200; ++i) {
        for (const tsb::Packet& pkt : tsb::CPacketBuilder::Packetize(
                 0, tsb::CPacketBuilder::PatSection(1, {{1, 0x100}}), uint8_t(i))) {
            vNoPcr.insert(vNoPcr.end(), pkt.begin(), pkt.end());
        }
    }
    ASSERT_TRUE(CStreamMaker::WriteFile(sNoPcr, vNoPcr));

    ExpectRefused(RunWith({sEmpty, sGood, m_sOut}), sEmpty, "empty");
    ExpectRefused(RunWith({sGood, sText, m_sOut}), sText, "not a transport stream");
    ExpectRefused(RunWith({sNoPcr, sGood, m_sOut}), sNoPcr, "no usable PCRs");
}

// These have a clock, so the rate is known and the readers start; the input
// then ends without its programs ever becoming known.
TEST_F(BraidmillBadInputTest, InputsWithoutProgramsEndTheRunQuickly)
{
    std::string sGood = GoodInput();
    if (sGood.empty()) {
        GTEST_SKIP() << "ffmpeg not installed";
    }
    std::string sNoPat = Path("nopat.ts");
    ASSERT_TRUE(CStreamMaker::DropPid(sGood, sNoPat, 0x0000));
    std::string sNoPmt = Path("nopmt.ts");
    ASSERT_TRUE(CStreamMaker::DropPid(sGood, sNoPmt, 0x1000)); // ffmpeg's first PMT PID

    ExpectRefused(RunWith({sNoPat, sGood, m_sOut}), sNoPat, "no programs");
    ExpectRefused(RunWith({sGood, sNoPmt, m_sOut}), sNoPmt, "no programs");
}

TEST_F(BraidmillBadInputTest, FailedWritesAreReported)
{
    std::string sGood = GoodInput();
    if (sGood.empty()) {
        GTEST_SKIP() << "ffmpeg not installed";
    }
    if (!Exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    ToolResult run = RunWith({sGood, sGood, "/dev/full"});
    ExpectRefused(run, "/dev/full", "writing the output failed");
    EXPECT_NE(run.sOut.find("mux_rate="), std::string::npos);
}
