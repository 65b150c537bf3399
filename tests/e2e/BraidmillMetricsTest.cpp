// The metrics as a monitoring system scrapes them: a real HTTP client
// (curl) during a real-time run, its answer read as Prometheus text and set
// against the --stats file written at about the same moment.
#include "CStreamMaker.h"
#include "CToolRun.h"

#include <gtest/gtest.h>

#include <chrono>
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

// "name{labels} value" lines to a map; every sample after a TYPE of its name,
// every other line a HELP or TYPE.
std::map<std::string, double> Samples(const std::string& sText)
{
    std::map<std::string, double> samples;
    std::set<std::string> typed;
    const std::regex sample(R"(([a-z_]+)(\{(?:[a-z_]+="(?:[^"\\]|\\.)*",?)*\}) ([-0-9.e+]+))");
    std::istringstream in(sText);
    std::smatch m;
    for (std::string sLine; std::getline(in, sLine);) {
        if (std::regex_match(sLine, m, std::regex("# TYPE ([a-z_]+) (counter|gauge)"))) {
            typed.insert(m[1]);
        } else if (std::regex_match(sLine, m, sample)) {
            EXPECT_EQ(typed.count(m[1]), 1u) << "no TYPE before " << sLine;
            samples[m[1].str() + m[2].str()] = std::stod(m[3]);
        } else {
            EXPECT_TRUE(std::regex_match(sLine, std::regex("# HELP [a-z_]+ .+"))) << sLine;
        }
    }
    return samples;
}

// The statistics file's figures as the metrics name them.
const char kStatsAsMetrics[] = R"(import json, sys
d = json.load(open(sys.argv[1]))
o = d['output']
out = '{output="%s"}' % o['path']
print('braidmill_run_elapsed_seconds' + out, d['elapsed_seconds'])
for k, m in (('bit_rate', 'bit_rate'), ('packets_written', 'written_packets_total'),
             ('slots', 'packets_total'), ('null_slots', 'null_packets_total'),
             ('table_slots', 'table_packets_total'), ('pcrs_inserted', 'pcr_insertions_total')):
    print('braidmill_output_' + m + out, o[k])
for i in d['inputs']:
    l = '{input="%d",path="%s"}' % (i['input'], i['path'])
    for k, m in (('estimated_bit_rate', 'estimated_bit_rate'),
                 ('packets_read', 'read_packets_total'), ('packets_muxed', 'muxed_packets_total'),
                 ('dropped', 'dropped_packets_total'), ('late', 'late_packets_total'),
                 ('cc_errors', 'cc_errors_total'), ('pcrs', 'pcrs_total')):
        print('braidmill_input_' + m + l, i[k])
for p in d['programs']:
    l = '{program="%d",input="%d"}' % (p['program_number'], p['input'])
    print('braidmill_program_packets_total' + l, p['packets'])
)";

} // namespace

TEST(BraidmillMetricsTest, CurlDuringARunReadsTheFiguresOfTheStatisticsFile)
{
    if (!CStreamMaker::HaveFfmpeg() || CToolRun::Shell("curl --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffmpeg and curl are needed";
    }
    const std::string sDir = CStreamMaker::MakeWorkDir();
    const std::string sStats = sDir + "/stats.json";
    ASSERT_TRUE(CStreamMaker::MakeMpeg2(sDir + "/a.ts", 5.0));
    ASSERT_TRUE(CStreamMaker::MakeThreePrograms(sDir + "/b.ts", 5.0));
    auto run = std::async(std::launch::async, [&] {
        return CToolRun::Run({BM_CLI_PATH, "--metrics", "127.0.0.1:0", "--stats", sStats,
                              sDir + "/a.ts", sDir + "/b.ts", sDir + "/out.ts"},
                             sDir, 60.0);
    });
    // The port the system chose, from the program's note; then a fetch right
    // after a rewrite of the statistics file that has the engine's figures.
    const auto tGiveUp = std::chrono::steady_clock::now() + 20s;
    std::smatch m;
    std::string sErr;
    while (!std::regex_search(sErr = ReadText(sDir + "/stderr.txt"), m,
                              std::regex("metrics at (http://127\\.0\\.0\\.1:[0-9]+/metrics)")) &&
           std::chrono::steady_clock::now() < tGiveUp) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(m.empty()) << sErr;
    std::string sSeen, sThen;
    while (sThen.empty() && std::chrono::steady_clock::now() < tGiveUp) {
        const std::string sNow = ReadText(sStats);
        const bool bFigures = sNow.find("\"engine_figures\": true") != std::string::npos;
        sThen = bFigures && !sSeen.empty() && sNow != sSeen ? sNow : "";
        sSeen = bFigures ? sNow : "";
        std::this_thread::sleep_for(5ms);
    }
    const int nCurl = CToolRun::Shell("curl -sS --max-time 10 -o '" + sDir + "/metrics.txt' '" +
                                      m[1].str() + "'");
    std::ofstream(sDir + "/then.json") << sThen;
    std::ofstream(sDir + "/flat.py") << kStatsAsMetrics;
    ASSERT_EQ(CToolRun::Shell("python3 '" + sDir + "/flat.py' '" + sDir + "/then.json' > '" + sDir +
                              "/then.txt'"),
              0);
    ASSERT_EQ(run.get().nStatus, 0);
    ASSERT_EQ(nCurl, 0);

    const std::map<std::string, double> metrics = Samples(ReadText(sDir + "/metrics.txt"));
    std::map<std::string, double> stats;
    std::istringstream flat(ReadText(sDir + "/then.txt"));
    for (std::string sKey; flat >> sKey >> stats[sKey];) {
    }
    ASSERT_EQ(stats.size(), 1 + 6 + 2 * 7 + 4u)
        << "the statistics file of a run, one plus three programs";
    const std::string sOutLabel = "{output=\"" + sDir + "/out.ts\"}";
    const std::string sElapsed = "braidmill_run_elapsed_seconds" + sOutLabel;
    const double fDelta = metrics.at(sElapsed) - stats.at(sElapsed);
    ASSERT_GE(fDelta, 0);
    ASSERT_LT(fDelta, 2.0); // fetched after a rewrite; the next comes 2 s later
    // What a counter may have grown by between the two moments: the engine
    // publishes its figures every 100 ms of output, so either side may be
    // that much behind; a file's reader runs up to a read ahead.
    const double fSlack =
        metrics.at("braidmill_output_bit_rate" + sOutLabel) / 8 / 188 * (fDelta + 0.2);
    for (const auto& [sKey, fThen] : stats) {
        ASSERT_EQ(metrics.count(sKey), 1u) << sKey;
        const double fNow = metrics.at(sKey);
        if (sKey.find("_total{") == std::string::npos) {
            EXPECT_TRUE(sKey == sElapsed || fNow == fThen) << sKey; // rates stay
            continue;
        }
        const bool bRead =
            sKey.find("read_") != std::string::npos || sKey.find("pcrs_") != std::string::npos;
        EXPECT_GE(fNow, fThen) << sKey;
        EXPECT_LE(fNow, fThen + fSlack + (bRead ? 4096 : 0)) << sKey;
    }
}
