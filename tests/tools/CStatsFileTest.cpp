#include "CStatsFile.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// What a JSON reader makes of the file: a Python expression over it (d).
std::string Query(const std::string& sDir, const std::string& sPath, const std::string& sExpr)
{
    std::ofstream(sDir + "/q.py") << "import json, sys\nd = json.load(open(sys.argv[1]))\nprint("
                                  << sExpr << ", end='')\n";
    const std::string sCmd =
        "/usr/bin/env python3 '" + sDir + "/q.py' '" + sPath + "' > '" + sDir + "/q.txt' 2>&1";
    const bool bOk = std::system(sCmd.c_str()) == 0;
    std::stringstream ss;
    ss << std::ifstream(sDir + "/q.txt").rdbuf();
    return (bOk ? "" : "python3 failed: ") + ss.str();
}

} // namespace

TEST(CStatsFileTest, ReadsBackAsJsonWithAndWithoutEngineFigures)
{
    if (std::system("/usr/bin/env python3 -c '' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3 is needed to read the JSON back";
    }
    const std::string sDir = ::testing::TempDir() + "bm_stats_" + std::to_string(getpid());
    std::filesystem::create_directories(sDir);
    const std::string sPath = sDir + "/s.json";
    CStatsFile::Run run;
    run.sOutput = "out \"1\".ts"; // names are bytes: quotes, backslashes, controls escaped
    run.llPacketsWritten = 10;
    run.vInputs = {"a\\b.ts", "tab\there.ts"};
    run.vEstimatedRates = {1'000'000, 900'000};
    const CStatsFile file(sPath);
    ASSERT_TRUE(file.Write(run, nullptr));
    EXPECT_EQ(Query(sDir, sPath,
                    "d['engine_figures'], d['output']['path'], "
                    "d['output']['bytes_written'], [i['path'] for i in d['inputs']], "
                    "d['programs']"),
              "False out \"1\".ts 1880 ['a\\\\b.ts', 'tab\\there.ts'] []");

    _MUX_STATS stats;
    stats.llNullSlots = 20;
    stats.llMaxCatchUpUs = 200'000;
    stats.vInputs = {{50, 40, 2, 1, 3, 7, 1'000'000}, {30, 30, 0, 0, 0, 4, -1}};
    stats.vPrograms = {{101, 1, 40, 8, 40'000, 0, 12'500, 450'000, 1012},
                       {102, 2, 30, 4, -1, 3, 0, -1, 0x1FFF}};
    run.sState = "finished";
    ASSERT_TRUE(file.Write(run, &stats)); // replaces the first one
    EXPECT_EQ(Query(sDir, sPath,
                    "d['state'], d['output']['null_slots'], d['output']['max_catch_up_us'], "
                    "d['inputs'][0]['dropped'], "
                    "d['inputs'][0]['cc_errors'], d['inputs'][1]['bit_rate'], "
                    "[(p['program_number'], p['input'], p['max_pcr_interval_us'], p['late'], "
                    "p['max_delay_ms'], p['decoding_margin_ms']) for p in d['programs']]"),
              "finished 20 200000 2 3 -1 [(101, 1, 40000, 0, 12.5, 450), (102, 2, -1, 3, 0, None)]");
    size_t nStatsFiles = 0; // no temporary left beside it
    for (const auto& entry : std::filesystem::directory_iterator(sDir)) {
        nStatsFiles += entry.path().filename().string().find(".json") != std::string::npos;
    }
    EXPECT_EQ(nStatsFiles, 1u);
    EXPECT_FALSE(CStatsFile(sDir + "/no/such/dir/s.json").Write(run, &stats));
    std::filesystem::remove_all(sDir);
}
