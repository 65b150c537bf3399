#include "CRunStats.h"

#include "CCommandLine.h"
#include "CConsole.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string ReadText(const std::string& sPath)
{
    std::ifstream in(sPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

// Before the engine runs there is a state to write but no figures; once the
// run is frozen its last figures stand without asking the engine again
// (whose inputs are gone by then).
TEST(CRunStatsTest, WritesBeforeTheEngineAndAfterItWithoutAskingIt)
{
    const std::string sPath = ::testing::TempDir() + "run-stats-" + std::to_string(getpid());
    CCommandLine cmd;
    cmd.sOutput = "out.ts";
    cmd.sStatsPath = sPath;
    CConsole console;
    CRunStats stats(cmd, console);
    CRunInput input;
    input.sPath = "a.ts";
    input.nRate = 2'000'000;
    stats.SetInputs({input});

    ASSERT_TRUE(stats.Write("running"));
    const std::string sStart = ReadText(sPath);
    EXPECT_NE(sStart.find("\"state\": \"running\""), std::string::npos) << sStart;
    EXPECT_NE(sStart.find("\"elapsed_seconds\": 0,"), std::string::npos) << sStart;
    EXPECT_NE(sStart.find("\"engine_figures\": false"), std::string::npos) << sStart;
    EXPECT_NE(sStart.find("\"estimated_bit_rate\": 2000000"), std::string::npos) << sStart;

    _MUX_STATS final{};
    final.llSlots = 12345;
    final.vInputs.resize(1);
    stats.Freeze(&final);
    CStatsFile::Run run;
    _MUX_STATS snapshot;
    ASSERT_TRUE(stats.Snapshot("finished", run, snapshot));
    EXPECT_EQ(snapshot.llSlots, 12345);
    ASSERT_TRUE(stats.Write("finished"));
    EXPECT_NE(ReadText(sPath).find("\"slots\": 12345"), std::string::npos);
    EXPECT_FALSE(stats.HasFailed());
    std::remove(sPath.c_str());
}

TEST(CRunStatsTest, FailedWriteIsRememberedAndWithoutAFileNothingFails)
{
    CCommandLine cmd;
    cmd.sStatsPath = "/nonexistent-dir/stats.json";
    CConsole console;
    CRunStats stats(cmd, console);
    EXPECT_FALSE(stats.Write("running"));
    EXPECT_TRUE(stats.HasFailed());

    CCommandLine none;
    CRunStats noFile(none, console);
    EXPECT_TRUE(noFile.Write("running"));
    EXPECT_FALSE(noFile.HasFailed());
}
