// The metrics as a monitoring system scrapes them: a real HTTP client
// (curl) during a real-time run, its answer read as Prometheus text and set
// against the --stats file written at about the same moment.
#include "CStreamMaker.h"
#include "CToolRun.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::string ReadText(const std::string& sPath)
{
    std::ifstream in(sPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// name{labels} -> value; every sample under a HELP and a TYPE of its name.
std::map<std::string, double> ParseExposition(const std::string& sText)
{
    std::map<std::string, double> samples;
    std::set<std::string> typed;
    const std::regex help("# HELP ([a-z_]+) .+");
    const std::regex type("# TYPE ([a-z_]+) (counter|gauge)");
    const std::regex sample(R"(([a-z_]+)(\{(?:[a-z_]+="(?:[^"\\]|\\.)*",?)*\}) ([-0-9.e+]+))");
    std::istringstream in(sText);
    std::string sLine;
    std::smatch m;
    while (std::getline(in, sLine)) {
        if (std::regex_match(sLine, m, type)) {
            typed.insert(m[1]);
        } else if (std::regex_match(sLine, m, sample)) {
            EXPECT_EQ(typed.count(m[1]), 1u) << "no TYPE before " << sLine;
            samples[m[1].str() + m[2].str()] = std::stod(m[3]);
        } else {
            EXPECT_TRUE(std::regex_match(sLine, help)) << "not exposition text: " << sLine;
        }
    }
    return samples;
}

class BraidmillMetricsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!CStreamMaker::HaveFfmpeg() || CToolRun::Shell("curl --version >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "ffmpeg and curl are needed";
        }
        m_sDir = CStreamMaker::MakeWorkDir();
        ASSERT_TRUE(CStreamMaker::MakeMpeg2(Path("a.ts"), kInputSeconds));
        ASSERT_TRUE(CStreamMaker::MakeThreePrograms(Path("b.ts"), kInputSeconds));
    }

    std::string Path(const char* szName) const { return m_sDir + "/" + szName; }

    // The statistics file as "key value" lines, keys as the metrics name them.
    std::map<std::string, double> StatsFigures(const std::string& sStats)
    {
        const std::string sScript = Path("flat.py");
        std::ofstream(sScript)
            << "import json, sys\n"
               "d = json.load(open(sys.argv[1]))\n"
               "o = d['output']\n"
               "print('elapsed', d['elapsed_seconds'])\n"
               "for k in ('bit_rate', 'packets_written', 'slots', 'null_slots', 'table_slots',\n"
               "          'pcrs_inserted'):\n"
               "    print('output.' + k, o[k])\n"
               "for i in d['inputs']:\n"
               "    for k in ('estimated_bit_rate', 'packets_read', 'packets_muxed', 'dropped',\n"
               "              'late', 'cc_errors', 'pcrs'):\n"
               "        print('input%d.%s' % (i['input'], k), i[k])\n"
               "for p in d['programs']:\n"
               "    print('program%d.packets' % p['program_number'], p['packets'])\n"
               "    print('program%d.input' % p['program_number'], p['input'])\n";
        const std::string sOut = Path("flat.txt");
        EXPECT_EQ(CToolRun::Shell("/usr/bin/env python3 '" + sScript + "' '" + sStats + "' > '" +
                                  sOut + "'"),
                  0);
        std::map<std::string, double> figures;
        std::istringstream in(ReadText(sOut));
        std::string sKey;
        double fValue = 0;
        while (in >> sKey >> fValue) {
            figures[sKey] = fValue;
        }
        return figures;
    }

    static constexpr double kInputSeconds = 5.0;
    std::string m_sDir;
};

} // namespace

TEST_F(BraidmillMetricsTest, CurlDuringARunReadsTheFiguresOfTheStatisticsFile)
{
    const std::string sStats = Path("stats.json");
    auto run = std::async(std::launch::async, [&] {
        return CToolRun::Run({BM_CLI_PATH, "--metrics", "127.0.0.1:0", "--stats", sStats,
                              Path("a.ts"), Path("b.ts"), Path("out.ts")},
                             m_sDir, 60.0);
    });
    // The port the system chose, from the program's note.
    std::smatch m;
    std::string sErr;
    const std::regex address("metrics at (http://127\\.0\\.0\\.1:[0-9]+/metrics)");
    const auto tGiveUp = std::chrono::steady_clock::now() + 20s;
    while (!std::regex_search(sErr = ReadText(Path("stderr.txt")), m, address) &&
           std::chrono::steady_clock::now() < tGiveUp) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_FALSE(m.empty()) << sErr;
    const std::string sUrl = m[1];

    // Fetch right after a rewrite of the statistics file made in the run.
    std::string sSeen;
    std::string sThen;
    while (sThen.empty() && std::chrono::steady_clock::now() < tGiveUp) {
        const std::string sNow = ReadText(sStats);
        const bool bFigures = sNow.find("\"engine_figures\": true") != std::string::npos;
        if (bFigures && !sSeen.empty() && sNow != sSeen) {
            sThen = sNow;
        }
        sSeen = bFigures ? sNow : "";
        std::this_thread::sleep_for(5ms);
    }
    const std::string sMetrics = Path("metrics.txt");
    const int nCurl =
        CToolRun::Shell("curl -sS --max-time 10 -o '" + sMetrics + "' '" + sUrl + "'");
    std::ofstream(Path("stats-then.json")) << sThen;
    const ToolResult result = run.get();
    ASSERT_EQ(nCurl, 0);
    ASSERT_EQ(result.nStatus, 0) << result.sErr;

    const std::map<std::string, double> metrics = ParseExposition(ReadText(sMetrics));
    const std::map<std::string, double> stats = StatsFigures(Path("stats-then.json"));
    ASSERT_FALSE(stats.empty());
    auto Metric = [&](const std::string& sKey) {
        const auto it = metrics.find(sKey);
        EXPECT_NE(it, metrics.end()) << sKey;
        return it == metrics.end() ? -1.0 : it->second;
    };
    const std::string sOutLabel = "{output=\"" + Path("out.ts") + "\"}";
    const double fDelta = Metric("braidmill_run_elapsed_seconds" + sOutLabel) - stats.at("elapsed");
    ASSERT_GE(fDelta, 0);
    ASSERT_LT(fDelta, 2.0); // the file was rewritten every 2 s; this was fetched after one
    const double fRate = stats.at("output.bit_rate");
    // What a counter may have grown by between the two moments: the engine
    // publishes its figures every 100 ms of output, so either side may be
    // that much behind.
    const double fSlack = fRate / 8 / 188 * (fDelta + 0.2);
    auto Near = [&](const std::string& sMetric, const std::string& sStat, double fExtra = 0) {
        const double fThen = stats.at(sStat);
        const double fNow = Metric(sMetric);
        EXPECT_GE(fNow, fThen) << sMetric;
        EXPECT_LE(fNow, fThen + fSlack + fExtra) << sMetric;
    };

    EXPECT_EQ(Metric("braidmill_output_bit_rate" + sOutLabel), fRate);
    Near("braidmill_output_written_packets_total" + sOutLabel, "output.packets_written");
    Near("braidmill_output_packets_total" + sOutLabel, "output.slots");
    Near("braidmill_output_null_packets_total" + sOutLabel, "output.null_slots");
    Near("braidmill_output_table_packets_total" + sOutLabel, "output.table_slots");
    Near("braidmill_output_pcr_insertions_total" + sOutLabel, "output.pcrs_inserted");
    const double fShare = Metric("braidmill_output_null_ratio" + sOutLabel);
    EXPECT_GT(fShare, 0);
    EXPECT_LT(fShare, 1);
    for (int nInput : {1, 2}) {
        const std::string sLabel = "{input=\"" + std::to_string(nInput) + "\",path=\"" +
                                   Path(nInput == 1 ? "a.ts" : "b.ts") + "\"}";
        const std::string sKey = "input" + std::to_string(nInput) + ".";
        EXPECT_EQ(Metric("braidmill_input_estimated_bit_rate" + sLabel),
                  stats.at(sKey + "estimated_bit_rate"));
        // A file's reader runs ahead of the output by up to one read.
        Near("braidmill_input_read_packets_total" + sLabel, sKey + "packets_read", 4096);
        Near("braidmill_input_muxed_packets_total" + sLabel, sKey + "packets_muxed");
        Near("braidmill_input_pcrs_total" + sLabel, sKey + "pcrs", 4096);
        Near("braidmill_input_dropped_packets_total" + sLabel, sKey + "dropped");
        Near("braidmill_input_late_packets_total" + sLabel, sKey + "late");
        Near("braidmill_input_cc_errors_total" + sLabel, sKey + "cc_errors");
    }
    // One program from a.ts, three from b.ts, each under its number and input.
    for (int nProgram : {101, 102, 103, 104}) {
        const std::string sKey = "program" + std::to_string(nProgram) + ".";
        ASSERT_EQ(stats.count(sKey + "packets"), 1u) << nProgram;
        const std::string sLabel = "{program=\"" + std::to_string(nProgram) + "\",input=\"" +
                                   std::to_string(int(stats.at(sKey + "input"))) + "\"}";
        Near("braidmill_program_packets_total" + sLabel, sKey + "packets");
    }
}
