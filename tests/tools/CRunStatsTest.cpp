#include "CRunStats.h"

#include "CCommandLine.h"
#include "CConsole.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

// Before the engine runs there is a state to write but no figures; once the
// run is frozen its last figures stand without asking the engine again
// (whose inputs are gone by then).
TEST(CRunStatsTest, WritesBeforeTheEngineAndAfterItWithoutAskingIt)
{
    CCommandLine cmd;
    cmd.sStatsPath = ::testing::TempDir() + "run-stats-" + std::to_string(getpid());
    CConsole console;
    CRunStats stats(cmd, console);
    CRunInput input;
    input.nRate = 2'000'000;
    stats.SetInputs({input});
    auto Text = [&] {
        std::stringstream ss;
        ss << std::ifstream(cmd.sStatsPath).rdbuf();
        return ss.str();
    };

    ASSERT_TRUE(stats.Write("running"));
    for (const char* sz : {"\"state\": \"running\"", "\"elapsed_seconds\": 0,",
                           "\"engine_figures\": false", "\"estimated_bit_rate\": 2000000"}) {
        EXPECT_NE(Text().find(sz), std::string::npos) << sz;
    }
    _MUX_STATS final{};
    final.llSlots = 12345;
    stats.Freeze(&final);
    ASSERT_TRUE(stats.Write("finished"));
    EXPECT_NE(Text().find("\"slots\": 12345"), std::string::npos) << Text();
    EXPECT_FALSE(stats.HasFailed());
    std::remove(cmd.sStatsPath.c_str());
}
