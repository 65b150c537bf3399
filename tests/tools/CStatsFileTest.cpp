#include "CStatsFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string ReadAll(const std::string& sPath)
{
    std::ifstream in(sPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class CStatsFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_sDir = ::testing::TempDir() + "bm_stats_" + std::to_string(getpid());
        std::filesystem::create_directories(m_sDir);
        m_run.sOutput = "out \"1\".ts";
        m_run.fBitRate = 2'500'000.5;
        m_run.llPacketsWritten = 10;
        m_run.vInputs = {"a\\b.ts", "tab\there.ts"};
        m_run.vEstimatedRates = {1'000'000, 900'000};
    }
    void TearDown() override { std::filesystem::remove_all(m_sDir); }

    // What a JSON reader makes of the file: a Python expression over it (d),
    // printed.
    std::string Query(const std::string& sPath, const std::string& sExpr)
    {
        const std::string sScript = m_sDir + "/query.py";
        const std::string sOut = m_sDir + "/query.txt";
        std::ofstream(sScript) << "import json, sys\nd = json.load(open(sys.argv[1]))\nprint(" << sExpr
                               << ")\n";
        const std::string sCmd =
            "/usr/bin/env python3 '" + sScript + "' '" + sPath + "' > '" + sOut + "' 2>&1";
        if (std::system(sCmd.c_str()) != 0) {
            return "python3 failed: " + ReadAll(sOut);
        }
        std::string s = ReadAll(sOut);
        return s.empty() ? s : s.substr(0, s.size() - 1);
    }

    std::string m_sDir;
    CStatsFile::Run m_run;
};

} // namespace

TEST_F(CStatsFileTest, WithoutEngineFiguresNamesWhatIsKnownAndEscapesNames)
{
    if (std::system("/usr/bin/env python3 -c '' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3 is needed to read the JSON back";
    }
    const std::string sPath = m_sDir + "/s.json";
    ASSERT_TRUE(CStatsFile(sPath).Write(m_run, nullptr));
    EXPECT_EQ(Query(sPath, "d['engine_figures'], d['output']['path'], d['output']['bytes_written'], "
                           "[i['path'] for i in d['inputs']], d['programs']"),
              "False out \"1\".ts 1880 ['a\\\\b.ts', 'tab\\there.ts'] []");
}

TEST_F(CStatsFileTest, EngineFiguresPerInputAndProgramAndNoTemporaryLeft)
{
    if (std::system("/usr/bin/env python3 -c '' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3 is needed to read the JSON back";
    }
    _MUX_STATS stats;
    stats.llSlots = 100;
    stats.llNullSlots = 20;
    stats.llTableSlots = 5;
    stats.llPcrsInserted = 1;
    stats.llBitRate = 2'500'000;
    stats.vInputs = {{50, 40, 2, 1, 3, 7, 1'000'000}, {30, 30, 0, 0, 0, 4, -1}};
    stats.vPrograms = {{101, 1, 40, 8, 40'000}, {102, 2, 30, 4, -1}};
    const std::string sPath = m_sDir + "/s.json";
    const CStatsFile file(sPath);
    ASSERT_TRUE(file.Write(m_run, nullptr));
    m_run.sState = "finished";
    ASSERT_TRUE(file.Write(m_run, &stats)); // replaces the first one
    EXPECT_EQ(Query(sPath, "d['state'], d['output']['null_slots'], d['inputs'][0]['dropped'], "
                           "d['inputs'][0]['cc_errors'], d['inputs'][1]['bit_rate'], "
                           "[(p['program_number'], p['input'], p['max_pcr_interval_us']) "
                           "for p in d['programs']]"),
              "finished 20 2 3 -1 [(101, 1, 40000), (102, 2, -1)]");
    size_t nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_sDir)) {
        const std::string sName = entry.path().filename().string();
        nFiles += sName.find(".json") != std::string::npos;
    }
    EXPECT_EQ(nFiles, 1u);
    EXPECT_FALSE(CStatsFile(m_sDir + "/no/such/dir/s.json").Write(m_run, &stats));
}
