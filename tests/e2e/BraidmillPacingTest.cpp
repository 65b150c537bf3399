// The console program's network output under stalls: datagrams as a
// receiver's kernel stamps them on arrival, on the loopback interface.
#include "CSamplePairTest.h"
#include "CTimedReceiver.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 6'000'000; // bit/s
const std::string kRateArg = std::to_string(kRate);
constexpr double kSpacingMs = 7.0 * 188 * 8 * 1000 / kRate; // a full datagram

class BraidmillPacingTest : public CSamplePairTest
{
protected:
    std::vector<uint8_t> Reference() { return FastReference(kRateArg); }
};

// Per thread of a process: its name, scheduling policy and real-time
// priority, from /proc.
struct CThreadSched
{
    std::string sName;
    int nPolicy;
    int nPriority;
};

std::vector<CThreadSched> ThreadsOf(int nPid)
{
    std::vector<CThreadSched> v;
    const std::string sTasks = "/proc/" + std::to_string(nPid) + "/task";
    DIR* pDir = opendir(sTasks.c_str());
    if (pDir == nullptr) {
        return v;
    }
    while (dirent* pEntry = readdir(pDir)) {
        std::stringstream ss;
        ss << std::ifstream(sTasks + "/" + pEntry->d_name + "/stat").rdbuf();
        const std::string sStat = ss.str();
        const size_t nOpen = sStat.find('('), nClose = sStat.rfind(')');
        if (nOpen == std::string::npos || nClose == std::string::npos) {
            continue;
        }
        // After the name: state is field 3; rt_priority 40, policy 41.
        std::istringstream rest(sStat.substr(nClose + 2));
        std::vector<std::string> vFields{"", "", ""};
        for (std::string sField; rest >> sField;) {
            vFields.push_back(sField);
        }
        if (vFields.size() > 41) {
            v.push_back({sStat.substr(nOpen + 1, nClose - nOpen - 1), std::stoi(vFields[41]),
                         std::stoi(vFields[40])});
        }
    }
    closedir(pDir);
    return v;
}

} // namespace

// Stopped for 200 ms once its output flows, the program makes the stall up
// without a burst: every datagram at least half the spacing after the one
// before, and every byte of the file run arrives.
TEST_F(BraidmillPacingTest, StallIsMadeUpWithoutBurstsAndNothingLost)
{
    const std::vector<uint8_t> vRef = Reference();
    CTimedReceiver receiver;
    ASSERT_TRUE(receiver.Open());
    receiver.Start();
    bool bStopped = false;
    const ToolResult run =
        CToolRun::Run({BM_CLI_PATH, "--rate", kRateArg, "-o",
                       "udp://127.0.0.1:" + std::to_string(receiver.GetPort()), m_sMpeg2, m_sH264},
                      m_sDir, 60, {}, [&](int nPid) {
                          if (!bStopped && receiver.GetCount() >= 200) {
                              bStopped = true;
                              kill(nPid, SIGSTOP);
                              std::this_thread::sleep_for(std::chrono::milliseconds(200));
                              kill(nPid, SIGCONT);
                          }
                      });
    receiver.StopWhenIdle(500, 10'000);
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    ASSERT_TRUE(bStopped);
    const CPacingFigures f = AnalyzePacing(receiver.GetArrivals(), kSpacingMs);
    EXPECT_GE(f.fMaxGapMs, 150.0) << "the stall shows";
    EXPECT_EQ(f.nCloserThanHalf, 0) << "smallest gap " << f.fMinGapMs << " ms";
    EXPECT_EQ(f.nLongestBurst, 1);
    EXPECT_TRUE(receiver.GetBytes() == vRef) << "the bytes of the file run";
}

// As root, --realtime puts the thread that writes, and it alone, under
// SCHED_FIFO at the priority given; the bytes stay those of the file run.
TEST_F(BraidmillPacingTest, RealtimeGivesTheWritingThreadFifoAlone)
{
    if (geteuid() != 0 || CToolRun::Shell("chrt -f 10 true 2>/dev/null") != 0) {
        GTEST_SKIP() << "real-time scheduling needs root here";
    }
    const std::vector<uint8_t> vRef = Reference();
    const std::string sOut = m_sDir + "/rt.ts";
    std::map<std::string, CThreadSched> seen; // by name: the last look
    int nOthersFifo = 0;
    const ToolResult run = CToolRun::Run(
        {BM_CLI_PATH, "--realtime=15", "--rate", kRateArg, "-o", sOut, m_sMpeg2, m_sH264}, m_sDir,
        60, {}, [&](int nPid) {
            for (const CThreadSched& t : ThreadsOf(nPid)) {
                seen[t.sName] = t;
                nOthersFifo += t.sName != "bm-output" && t.nPolicy != SCHED_OTHER;
            }
        });
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    ASSERT_EQ(seen.count("bm-output"), 1u) << "the writing thread was never seen";
    EXPECT_EQ(seen["bm-output"].nPolicy, SCHED_FIFO);
    EXPECT_EQ(seen["bm-output"].nPriority, 15);
    EXPECT_EQ(nOthersFifo, 0) << "readers and the main thread keep their priority";
    EXPECT_EQ(run.sOut.find("warning"), std::string::npos) << run.sOut;
    std::vector<uint8_t> vOut;
    ASSERT_TRUE(CStreamMaker::ReadFile(sOut, vOut));
    EXPECT_TRUE(vOut == vRef);
}

// Without the right (no CAP_SYS_NICE, RLIMIT_RTPRIO 0) the run goes on at
// normal priority with one line that says so.
TEST_F(BraidmillPacingTest, RealtimeNotPermittedIsOneLineAndTheRunGoesOn)
{
    if (CToolRun::Shell("command -v prlimit >/dev/null && command -v setpriv >/dev/null") != 0) {
        GTEST_SKIP() << "prlimit and setpriv are needed";
    }
    const std::vector<uint8_t> vRef = Reference();
    const std::string sOut = m_sDir + "/rt.ts";
    std::vector<std::string> vArgs{"/usr/bin/prlimit", "--rtprio=0"};
    if (geteuid() == 0) {
        // Root keeps every right unless its bounding set loses this one.
        vArgs.insert(vArgs.end(),
                     {"/usr/bin/setpriv", "--inh-caps=-sys_nice", "--bounding-set=-sys_nice"});
    }
    vArgs.insert(vArgs.end(),
                 {BM_CLI_PATH, "--realtime", "--rate", kRateArg, "-o", sOut, m_sMpeg2, m_sH264});
    const ToolResult run = CToolRun::Run(vArgs, m_sDir, 60);
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    const std::string sLog = run.sOut + run.sErr;
    size_t nLines = 0;
    for (size_t n = sLog.find("real-time priority"); n != std::string::npos;
         n = sLog.find("real-time priority", n + 1)) {
        ++nLines;
    }
    EXPECT_EQ(nLines, 1u) << sLog;
    EXPECT_NE(sLog.find("warning: mux: real-time priority 10 not permitted"), std::string::npos)
        << sLog;
    std::vector<uint8_t> vOut;
    ASSERT_TRUE(CStreamMaker::ReadFile(sOut, vOut));
    EXPECT_TRUE(vOut == vRef);
}
