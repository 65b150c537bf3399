// The console program as people run it in production: slips on the command
// line, signals, full disks, too many programs, the statistics file and the
// options that shape the output.
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTestStream.h"
#include "support/CTsReader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr double kTimeout = 60.0; // s; longer means a hang
const char kUsage[] = "usage:braidmill infile1 infile2 outfile\n";

class BraidmillRunControlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!CStreamMaker::HaveFfmpeg()) {
            GTEST_SKIP() << "ffmpeg is needed";
        }
        m_sDir = CStreamMaker::MakeWorkDir();
        m_sA = Path("a.ts");
        m_sB = Path("b.ts");
        m_sOut = Path("out.ts");
        ASSERT_TRUE(CStreamMaker::MakeMpeg2(m_sA, kInputSeconds));
        ASSERT_TRUE(CStreamMaker::MakeH264(m_sB, kInputSeconds));
    }

    std::string Path(const char* szName) const { return m_sDir + "/" + szName; }

    ToolResult Run(const std::vector<std::string>& vArgs,
                   const std::vector<SignalAt>& vSignals = {})
    {
        std::vector<std::string> vAll{BM_CLI_PATH};
        vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
        return CToolRun::Run(vAll, m_sDir, kTimeout, vSignals);
    }

    // The exact output rate from the program's note on stderr; 0 when absent.
    static double NotedRate(const ToolResult& run)
    {
        std::smatch m;
        return std::regex_search(run.sErr, m, std::regex("output rate ([0-9.]+) bit/s"))
                   ? std::stod(m[1])
                   : 0;
    }

    // Python over the statistics file d; the printed result.
    std::string QueryStats(const std::string& sStats, const std::string& sExpr)
    {
        const std::string sScript = Path("query.py");
        std::ofstream(sScript) << "import json, sys\nd = json.load(open(sys.argv[1]))\nprint("
                               << sExpr << ")\n";
        const std::string sOut = Path("query.txt");
        if (CToolRun::Shell("/usr/bin/env python3 '" + sScript + "' '" + sStats + "' > '" + sOut +
                            "' 2>&1") != 0) {
            return "python3 failed";
        }
        std::vector<uint8_t> vText;
        CStreamMaker::ReadFile(sOut, vText);
        return std::string(vText.begin(), vText.end() - (vText.empty() ? 0 : 1));
    }

    static constexpr double kInputSeconds = 4.0;
    std::string m_sDir, m_sA, m_sB, m_sOut;
};

std::vector<uint8_t> Bytes(const std::string& sPath)
{
    std::vector<uint8_t> v;
    CStreamMaker::ReadFile(sPath, v);
    return v;
}

} // namespace

TEST_F(BraidmillRunControlTest, ExtraFilesAreRefusedAndNothingIsTouched)
{
    const std::string sC = Path("c.ts");
    const std::string sD = Path("d.ts");
    ASSERT_TRUE(CStreamMaker::WriteFile(sC, {1, 2, 3}));
    ASSERT_TRUE(CStreamMaker::WriteFile(sD, {4, 5}));
    const ToolResult run = Run({m_sA, m_sB, sC, sD});
    EXPECT_EQ(run.nStatus, 2);
    EXPECT_EQ(run.sOut, "");
    EXPECT_NE(run.sErr.find("too many arguments"), std::string::npos) << run.sErr;
    EXPECT_EQ(run.sErr.substr(run.sErr.size() - (sizeof kUsage - 1)), kUsage);
    EXPECT_EQ(Bytes(sC), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(Bytes(sD), (std::vector<uint8_t>{4, 5}));
}

// --fast gives the same bytes wherever it stands, so a trailing option that
// were ignored would show as a different file.
TEST_F(BraidmillRunControlTest, OptionsApplyWhereverTheyStand)
{
    const std::string sFirst = Path("first.ts");
    const std::string sLast = Path("last.ts");
    ASSERT_EQ(Run({"--fast", m_sA, m_sB, sFirst}).nStatus, 0);
    const ToolResult last = Run({m_sA, m_sB, sLast, "--fast"});
    ASSERT_EQ(last.nStatus, 0) << last.sErr;
    EXPECT_FALSE(Bytes(sFirst).empty());
    EXPECT_TRUE(Bytes(sFirst) == Bytes(sLast));
}

TEST_F(BraidmillRunControlTest, FailureBeforeMuxingLeavesAnExistingOutputAlone)
{
    const std::vector<uint8_t> vPrecious{'k', 'e', 'e', 'p'};
    ASSERT_TRUE(CStreamMaker::WriteFile(m_sOut, vPrecious));
    const std::string sNoPat = Path("nopat.ts");
    ASSERT_TRUE(CStreamMaker::DropPid(m_sA, sNoPat, 0x0000));
    const ToolResult run = Run({sNoPat, m_sB, m_sOut});
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.sErr.find("no programs found"), std::string::npos) << run.sErr;
    EXPECT_EQ(Bytes(m_sOut), vPrecious);

    // An output that reaches an input through a link is that input.
    const std::string sSymlink = Path("sym.ts");
    const std::string sHardlink = Path("hard.ts");
    ASSERT_EQ(symlink(m_sA.c_str(), sSymlink.c_str()), 0);
    ASSERT_EQ(link(m_sB.c_str(), sHardlink.c_str()), 0);
    const std::vector<uint8_t> vA = Bytes(m_sA);
    const std::vector<uint8_t> vB = Bytes(m_sB);
    for (const std::string& sOut : {sSymlink, sHardlink}) {
        const ToolResult same = Run({"--fast", m_sA, m_sB, sOut});
        EXPECT_EQ(same.nStatus, 1) << sOut;
        EXPECT_NE(same.sErr.find("is also an input"), std::string::npos) << same.sErr;
    }
    EXPECT_TRUE(Bytes(m_sA) == vA);
    EXPECT_TRUE(Bytes(m_sB) == vB);
}

struct StopCase
{
    int nSignal;
    const char* szName;
    int nStatus;
};

class BraidmillSignalTest : public BraidmillRunControlTest,
                            public ::testing::WithParamInterface<StopCase>
{
};

TEST_P(BraidmillSignalTest, StopsCleanlyOnAWholePacket)
{
    const StopCase& c = GetParam();
    const std::string sStats = Path("stats.json");
    const ToolResult run = Run({m_sA, m_sB, m_sOut, "--stats", sStats}, {SignalAt{1.5, c.nSignal}});
    EXPECT_EQ(run.nTermSignal, 0);
    EXPECT_EQ(run.nStatus, c.nStatus) << run.sErr;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.sErr, m,
                                  std::regex(std::string("stopped by ") + c.szName +
                                             ": ([0-9]+) packets \\(([0-9]+) bytes\\) written to " +
                                             m_sOut + "\n")))
        << run.sErr;
    const long long llPackets = std::stoll(m[1]);
    const std::vector<uint8_t> vOut = Bytes(m_sOut);
    EXPECT_GT(llPackets, 0);
    EXPECT_EQ(std::to_string(vOut.size()), m[2].str());
    EXPECT_EQ(vOut.size(), size_t(llPackets) * 188);
    // Stopped, not run to the end of its inputs.
    const double fRate = NotedRate(run);
    ASSERT_GT(fRate, 0) << run.sErr;
    EXPECT_LT(double(vOut.size()) * 8 / fRate, kInputSeconds - 1);

    tsr::CTsReader reader;
    ASSERT_TRUE(reader.LoadFile(m_sOut));
    EXPECT_TRUE(reader.IsWholePackets());
    EXPECT_TRUE(reader.HasPat());
    EXPECT_EQ(run.sOut.find("mux finish!"), std::string::npos);
    EXPECT_EQ(QueryStats(sStats, "d['state'], d['output']['packets_written']"),
              "stopped " + std::to_string(llPackets));
}

INSTANTIATE_TEST_SUITE_P(Signals, BraidmillSignalTest,
                         ::testing::Values(StopCase{SIGINT, "SIGINT", 130},
                                           StopCase{SIGTERM, "SIGTERM", 143},
                                           StopCase{SIGHUP, "SIGHUP", 129}),
                         [](const ::testing::TestParamInfo<StopCase>& param) {
                             return std::string(param.param.szName);
                         });

TEST_F(BraidmillRunControlTest, FullDeviceStopsTheRunLongBeforeItsInputsEnd)
{
    const ToolResult run = Run({m_sA, m_sB, "/dev/full"});
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.sErr.find("/dev/full: writing the output failed"), std::string::npos) << run.sErr;
    // A real-time run of these inputs lasts kInputSeconds; the first failed
    // write must end it.
    EXPECT_LT(run.fSeconds, kInputSeconds / 2);
}

TEST_F(BraidmillRunControlTest, FullFileSystemEndsOnAWholePacket)
{
    const std::string sMount = Path("small");
    ASSERT_EQ(CToolRun::Shell("mkdir -p '" + sMount + "'"), 0);
    if (geteuid() != 0 ||
        CToolRun::Shell("mount -t tmpfs -o size=64k tmpfs '" + sMount + "' 2>/dev/null") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    }
    const std::string sOut = sMount + "/out.ts";
    const ToolResult run = Run({"--fast", m_sA, m_sB, sOut});
    const std::vector<uint8_t> vOut = Bytes(sOut);
    CToolRun::Shell("umount '" + sMount + "'");
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.sErr.find(sOut + ": writing the output failed"), std::string::npos) << run.sErr;
    EXPECT_GT(vOut.size(), 0u);
    EXPECT_EQ(vOut.size() % 188, 0u);
}

// 1,000 programs need more PMT PIDs than the output numbering has: the run
// finishes but says so and exits 3.
TEST_F(BraidmillRunControlTest, ProgramsLeftOutExitWithThree)
{
    std::vector<std::string> vArgs{"--fast", "-o", m_sOut};
    for (int i = 0; i < 5; ++i) {
        tsb::StreamSpec shape;
        shape.nPrograms = 200; // one PAT section's worth, PIDs below the PMTs'
        shape.fBitRate = 40'000'000;
        shape.fSeconds = 0.3;
        vArgs.push_back(Path(("many" + std::to_string(i) + ".ts").c_str()));
        ASSERT_TRUE(tsb::CTestStream(shape).WriteFile(vArgs.back()));
    }
    const ToolResult run = Run(vArgs);
    EXPECT_EQ(run.nStatus, 3) << run.sErr;
    EXPECT_NE(run.sOut.find("mux finish!"), std::string::npos);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.sErr, m, std::regex("([0-9]+) program\\(s\\) left out")))
        << run.sErr;
    tsr::CTsReader reader;
    ASSERT_TRUE(reader.LoadFile(m_sOut));
    EXPECT_EQ(reader.GetPat().programs.size() + std::stoul(m[1]), 1000u);
    if (run.sErr.find("the first is") != std::string::npos) {
        // Inputs are numbered in order: the last input's programs are all out.
        const size_t nKept = reader.GetPat().programs.size();
        EXPECT_NE(run.sErr.find("the first is input " + std::to_string(nKept / 200 + 1) +
                                " program " + std::to_string(nKept % 200 + 1)),
                  std::string::npos)
            << run.sErr;
    }
}

TEST_F(BraidmillRunControlTest, StatisticsMatchTheOutput)
{
    const std::string sStats = Path("stats.json");
    const ToolResult run = Run({"--fast", m_sA, m_sB, m_sOut, "--stats", sStats});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    const std::vector<uint8_t> vOut = Bytes(m_sOut);
    EXPECT_EQ(QueryStats(sStats, "d['state'], d['output']['bytes_written'], "
                                 "[i['path'] for i in d['inputs']]"),
              "finished " + std::to_string(vOut.size()) + " ['" + m_sA + "', '" + m_sB + "']");
    if (QueryStats(sStats, "d['engine_figures']") != "True") {
        GTEST_SKIP() << "this engine gives no figures (GetStats false)";
    }
    tsr::CTsReader reader;
    ASSERT_TRUE(reader.LoadFile(m_sOut));
    const auto counts = reader.GetPidCounts();
    const size_t nNull = counts.count(0x1FFF) ? counts.at(0x1FFF) : 0;
    EXPECT_EQ(QueryStats(sStats, "d['output']['slots'], d['output']['null_slots']"),
              std::to_string(reader.GetPacketCount()) + " " + std::to_string(nNull));
    for (uint16_t nProgram : {uint16_t(101), uint16_t(102)}) {
        const tsr::Pmt* pPmt = reader.FindPmt(nProgram);
        ASSERT_NE(pPmt, nullptr);
        size_t nPackets = 0;
        for (const auto& stream : pPmt->streams) {
            nPackets += counts.count(stream.nPid) ? counts.at(stream.nPid) : 0;
        }
        EXPECT_EQ(QueryStats(sStats, "[p['packets'] for p in d['programs'] if "
                                     "p['program_number'] == " +
                                         std::to_string(nProgram) + "]"),
                  "[" + std::to_string(nPackets) + "]");
    }
}

TEST_F(BraidmillRunControlTest, OptionsShapeTheOutput)
{
    const std::string sStats = Path("stats.json");
    const ToolResult run =
        Run({"--fast", "--rate", "2621440", "--tsid", "77", "--onid", "88", "--network-id", "99",
             "--network-name", "Braid Net", "--stats", sStats, m_sA, m_sB, m_sOut});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    EXPECT_NE(run.sOut.find("mux_rate=2.50\n"), std::string::npos);
    EXPECT_NE(run.sErr.find("output rate 2621440 bit/s"), std::string::npos) << run.sErr;
    tsr::CTsReader reader;
    ASSERT_TRUE(reader.LoadFile(m_sOut));
    for (uint16_t nPcrPid : reader.GetPcrPids()) {
        EXPECT_LT(reader.CheckPcrAccuracy(nPcrPid, 2621440).fMaxAbsNs, 38.0) << nPcrPid;
    }
    if (QueryStats(sStats, "d['engine_figures']") != "True") {
        GTEST_SKIP() << "this engine does not set the output's identity";
    }
    EXPECT_EQ(reader.GetPat().nTsId, 77);
    EXPECT_EQ(reader.GetPat().nNetworkPid, 0x10);
    ASSERT_TRUE(reader.HasSdt());
    EXPECT_EQ(reader.GetSdt().nOnid, 88);
    ASSERT_TRUE(reader.HasNit());
    EXPECT_EQ(reader.GetNit().nNetworkId, 99);
    const tsr::Bytes& vDesc = reader.GetNit().descriptors;
    const std::string sName = "Braid Net";
    tsr::Bytes vExpected{0x40, uint8_t(sName.size())};
    vExpected.insert(vExpected.end(), sName.begin(), sName.end());
    EXPECT_NE(std::search(vDesc.begin(), vDesc.end(), vExpected.begin(), vExpected.end()),
              vDesc.end());
}

TEST_F(BraidmillRunControlTest, QuietShowsOnlyErrorsAndDurationEndsTheRun)
{
    const ToolResult quiet = Run({"-q", "-t", "1", m_sA, m_sB, m_sOut});
    EXPECT_EQ(quiet.nStatus, 0);
    EXPECT_EQ(quiet.sOut, "");
    EXPECT_EQ(quiet.sErr, "");
    // About one second of output: the engine ends there, or the program's
    // watcher within its period when the engine cannot.
    const ToolResult noisy = Run({"-t", "1", m_sA, m_sB, m_sOut});
    const double fRate = NotedRate(noisy);
    ASSERT_GT(fRate, 0);
    const double fOutSeconds = double(Bytes(m_sOut).size()) * 8 / fRate;
    EXPECT_GE(fOutSeconds, 0.99);
    EXPECT_LT(fOutSeconds, 1.5);
    EXPECT_NE(noisy.sOut.find("mux finish!"), std::string::npos);

    const ToolResult failed = Run({"-q", Path("missing.ts"), m_sB, m_sOut});
    EXPECT_EQ(failed.nStatus, 1);
    EXPECT_EQ(failed.sOut, "");
    EXPECT_NE(failed.sErr.find("missing.ts"), std::string::npos);
}

// A run of a set length ends after each stream's last whole PES: decoding
// its output finds nothing broken at the end, and it keeps its exact length.
TEST_F(BraidmillRunControlTest, DurationEndsAfterTheLastWholePesOfEachStream)
{
    for (const char* szSeconds : {"1.2", "1.7", "2.1"}) {
        const ToolResult run = Run({"--fast", "-t", szSeconds, m_sA, m_sB, m_sOut});
        ASSERT_EQ(run.nStatus, 0) << szSeconds;
        const long long llSlots =
            static_cast<long long>(std::stod(szSeconds) * NotedRate(run) / (188 * 8));
        EXPECT_EQ(static_cast<long long>(Bytes(m_sOut).size()), llSlots * 188) << szSeconds;
        const std::string sErr = Path("decode.txt");
        CToolRun::Shell("ffprobe -v error -show_frames '" + m_sOut + "' > /dev/null 2> '" + sErr +
                        "'; ffmpeg -nostdin -v warning -i '" + m_sOut + "' -map 0 -f null - 2>> '" +
                        sErr + "'");
        std::vector<unsigned char> vText;
        CStreamMaker::ReadFile(sErr, vText);
        EXPECT_EQ(std::string(vText.begin(), vText.end()), "") << szSeconds;
    }
}
