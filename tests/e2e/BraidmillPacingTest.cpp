// The console program's network output under stalls: datagrams as a
// receiver's kernel stamps them on arrival, on the loopback interface.
#include "CSamplePairTest.h"
#include "CTimedReceiver.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
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
    std::vector<uint8_t> Reference()
    {
        const std::string sRef = m_sDir + "/ref.ts";
        EXPECT_EQ(Mux({"--fast", "--rate", kRateArg, m_sMpeg2, m_sH264, sRef}).nStatus, 0);
        std::vector<uint8_t> v;
        EXPECT_TRUE(CStreamMaker::ReadFile(sRef, v));
        return v;
    }
};

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
