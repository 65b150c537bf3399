// The console's answers where a user slips or the surroundings fail: a rate
// the tables fill, a reader that goes away, a start that fails with a
// statistics file, the library's lines at each verbosity and on a UTF-8
// terminal.
#include "CSamplePairTest.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr double kTimeout = 60.0; // s; longer means a hang

std::string ReadText(const std::string& sPath)
{
    std::ifstream in(sPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string StateOf(const std::string& sStats)
{
    std::smatch m;
    const std::string sText = ReadText(sStats);
    return std::regex_search(sText, m, std::regex("\"state\": \"([a-z]+)\"")) ? m[1].str() : "";
}

class BraidmillConsoleEdgeTest : public CSamplePairTest
{
protected:
    std::string Path(const char* szName) const { return m_sDir + "/" + szName; }
};

} // namespace

// Below the tables' own rate a run wrote tables and PCR-only packets until
// the disk was full, or in real time for ever. The refusal names what the
// tables need, on standard error, before the output exists.
TEST_F(BraidmillConsoleEdgeTest, RateTheTablesFillIsRefusedBeforeAnythingIsWritten)
{
    const std::string sStats = Path("stats.json");
    for (const std::vector<std::string>& vRate :
         {std::vector<std::string>{"--fast", "--rate", "50000"},
          {"--rate", "50000"},
          {"--rate", "100"}}) {
        std::vector<std::string> vArgs = vRate;
        vArgs.insert(vArgs.end(), {"--stats", sStats, m_sMpeg2, m_sH264, Path("out.ts")});
        const ToolResult run = Mux(vArgs, 20.0);
        ASSERT_FALSE(run.bTimedOut) << vRate.back();
        EXPECT_EQ(run.nStatus, 2);
        EXPECT_TRUE(std::regex_search(
            run.sErr, std::regex("braidmill: bad value for --rate: " + vRate.back() +
                                 " \\(the tables alone need [0-9]+ bit/s; give more\\)\n")))
            << run.sErr;
        EXPECT_NE(access(Path("out.ts").c_str(), F_OK), 0);
        EXPECT_EQ(StateOf(sStats), "failed");
    }
}

// A reader that goes away is no full disk; through a named FIFO it must not
// kill the program with SIGPIPE either.
TEST_F(BraidmillConsoleEdgeTest, ReaderThatClosesThePipeIsSaid)
{
    const std::string sErr = Path("pipe-err.txt");
    ASSERT_EQ(CToolRun::Shell("'" + std::string(BM_CLI_PATH) + "' --fast '" + m_sMpeg2 + "' '" +
                              m_sH264 + "' - 2> '" + sErr + "' | head -c 100000 > /dev/null"),
              0);
    EXPECT_NE(ReadText(sErr).find("-: writing the output failed (its reader closed the pipe)"),
              std::string::npos)
        << ReadText(sErr);

    const std::string sFifo = Path("out.fifo");
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    ASSERT_EQ(CToolRun::Shell("(timeout 30 head -c 50000 < '" + sFifo + "' > /dev/null &)"), 0);
    const ToolResult run = Mux({"--fast", m_sMpeg2, m_sH264, sFifo});
    EXPECT_EQ(run.nTermSignal, 0);
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.sErr.find(sFifo + ": writing the output failed (its reader closed the pipe)"),
              std::string::npos)
        << run.sErr;
}

// A monitor reading the statistics file must see this run from its start,
// and how a start that never reached the multiplex ended.
TEST_F(BraidmillConsoleEdgeTest, StatisticsFileIsWrittenAtTheStartAndSaysHowAStartFailed)
{
    const std::string sStats = Path("stats.json");
    std::ofstream(sStats) << "{\"state\": \"finished\"}\n"; // a previous run's
    const std::string sNoPat = Path("nopat.ts");
    ASSERT_TRUE(CStreamMaker::DropPid(m_sMpeg2, sNoPat, 0x0000));
    const ToolResult noPrograms = Mux({"--stats", sStats, sNoPat, m_sH264, Path("out.ts")});
    EXPECT_EQ(noPrograms.nStatus, 1);
    EXPECT_EQ(StateOf(sStats), "failed");

    // An input FIFO without a writer holds the start; the file says running
    // meanwhile, and stopped after the signal.
    const std::string sFifo = Path("in.fifo");
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    std::ofstream(sStats) << "{\"state\": \"finished\"}\n";
    auto run = std::async(std::launch::async, [&] {
        return Mux({"--stats", sStats, sFifo, m_sH264, Path("out.ts")}, kTimeout,
                   {SignalAt{4.0, SIGINT}});
    });
    std::string sSeen;
    const auto tGiveUp = std::chrono::steady_clock::now() + 20s;
    while ((sSeen = StateOf(sStats)) != "running" && std::chrono::steady_clock::now() < tGiveUp) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(sSeen, "running");
    const ToolResult stopped = run.get();
    EXPECT_EQ(stopped.nStatus, 130) << stopped.sErr;
    EXPECT_EQ(StateOf(sStats), "stopped");
}

// The library's debug lines (decoder notes, loop passes) wait for -v; its
// thread-end lines and the table report stay where they were.
TEST_F(BraidmillConsoleEdgeTest, DebugLinesShowOnlyWithVerbose)
{
    const ToolResult quietLoop =
        Mux({"--fast", "--loop", "-t", "12", m_sMpeg2, m_sH264, Path("out.ts")});
    ASSERT_EQ(quietLoop.nStatus, 0) << quietLoop.sErr;
    EXPECT_EQ(quietLoop.sOut.find("debug: pass"), std::string::npos) << quietLoop.sOut;
    EXPECT_EQ(quietLoop.sOut.find("debug: libdvbpsi"), std::string::npos) << quietLoop.sOut;
    EXPECT_NE(quietLoop.sOut.find("PCR_PID="), std::string::npos);
    const ToolResult verboseLoop =
        Mux({"-v", "--fast", "--loop", "-t", "12", m_sMpeg2, m_sH264, Path("out.ts")});
    EXPECT_NE(verboseLoop.sOut.find("debug: pass 2 from the start: " + m_sMpeg2), std::string::npos)
        << verboseLoop.sOut;

    const ToolResult plain = Mux({"--fast", m_sMpeg2, m_sH264, Path("out.ts")});
    for (const std::string& sLine :
         {"debug: Reched the end of the file,source thread exit: " + m_sMpeg2 + " \n",
          std::string("debug: Mux Thread exit\n"), std::string("debug: Sout Thread exit\n")}) {
        EXPECT_NE(plain.sOut.find(sLine), std::string::npos) << sLine;
    }
}

// On a UTF-8 terminal the table report reads like the other library texts.
TEST_F(BraidmillConsoleEdgeTest, ReportIsConvertedOnAUtf8Terminal)
{
    const std::string sTyped = Path("typescript.txt");
    ASSERT_EQ(CToolRun::Shell("LC_ALL=C.UTF-8 timeout 60 script -qec \"'" +
                              std::string(BM_CLI_PATH) + "' --fast '" + m_sMpeg2 + "' '" + m_sH264 +
                              "' '" + Path("out.ts") + "'\" /dev/null < /dev/null > '" + sTyped +
                              "'"),
              0);
    const std::string sText = ReadText(sTyped);
    // "PAT 解析完毕，节目数量：1" in UTF-8
    EXPECT_NE(sText.find("PAT \xE8\xA7\xA3\xE6\x9E\x90\xE5\xAE\x8C\xE6\xAF\x95\xEF\xBC\x8C"),
              std::string::npos)
        << sText;
    EXPECT_EQ(sText.find("\xBD\xE2\xCE\xF6"), std::string::npos) << "GBK left on the terminal";
}
