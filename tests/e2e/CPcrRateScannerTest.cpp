#include "CPcrRateScanner.h"
#include "CStreamMaker.h"
#include "support/CPacketBuilder.h"
#include "support/Reframe.h"

#include <braidmill.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tsb::CPacketBuilder;

namespace {

constexpr int64_t kWrap = (int64_t(1) << 33) * 300;

// PCRs every 100 packets on PID 0x100, 2,700,000 ticks apart: 1,504,000 bit/s.
// vJumps lists PCR indexes before which the clock jumps by nJump ticks.
std::vector<uint8_t> PcrStream(int nPcrs, int64_t nFirst, const std::vector<int>& vJumps,
                               int64_t nJump)
{
    std::vector<uint8_t> vOut;
    int64_t nPcr = nFirst;
    for (int i = 0; i < nPcrs; ++i) {
        for (int nAt : vJumps) {
            nPcr += nAt == i ? nJump : 0;
        }
        tsb::Header h;
        h.nPid = 0x100;
        tsb::Packet pcr = CPacketBuilder::Pcr(h, ((nPcr % kWrap) + kWrap) % kWrap);
        vOut.insert(vOut.end(), pcr.begin(), pcr.end());
        for (int j = 0; j < 99; ++j) {
            tsb::Packet null = CPacketBuilder::Null();
            vOut.insert(vOut.end(), null.begin(), null.end());
        }
        nPcr += 2'700'000;
    }
    return vOut;
}

class CPcrRateScannerTest : public ::testing::Test
{
protected:
    void SetUp() override { m_sPath = CStreamMaker::MakeWorkDir() + "/in.ts"; }

    CPcrRateScanner::Result Scan(const std::vector<uint8_t>& vBytes)
    {
        EXPECT_TRUE(CStreamMaker::WriteFile(m_sPath, vBytes));
        return m_scanner.Scan(m_sPath.c_str());
    }

    std::string m_sPath;
    CPcrRateScanner m_scanner;
};

} // namespace

TEST_F(CPcrRateScannerTest, MeasuresAcrossJumpsAndTheWrapAsTheLibraryDoes)
{
    // A backward jump early on and the 33-bit wrap later.
    std::vector<uint8_t> vBytes = PcrStream(60, kWrap - 40 * 2'700'000LL, {3}, -500'000'000);
    ASSERT_EQ(Scan(vBytes), CPcrRateScanner::Result::Ok);
    EXPECT_EQ(GetSourceRate(m_sPath.c_str()), 1'504'000);
    EXPECT_EQ(m_scanner.GetBitRate(), 1'504'000);
    EXPECT_EQ(m_scanner.GetPcrPid(), 0x100);
    EXPECT_NEAR(m_scanner.GetMeasuredSeconds(), 58 * 0.1, 1e-9); // the jump is left out
}

TEST_F(CPcrRateScannerTest, ClassifiesWhatHasNoRate)
{
    EXPECT_EQ(Scan({}), CPcrRateScanner::Result::Empty);
    EXPECT_EQ(Scan(std::vector<uint8_t>(1000, 'x')), CPcrRateScanner::Result::NotTransportStream);
    EXPECT_EQ(m_scanner.Describe(CPcrRateScanner::Result::NotTransportStream),
              "not a transport stream: no transport-stream packets found in the first 1000 bytes "
              "(first bytes 0x78 0x78 0x78 0x78 0x78 0x78 0x78 0x78)");
    EXPECT_EQ(Scan(PcrStream(1, 0, {}, 0)), CPcrRateScanner::Result::NoUsablePcr);
    // Every step longer than half a second: none is an interval.
    EXPECT_EQ(Scan(PcrStream(5, 0, {1, 2, 3, 4}, 27'000'000)),
              CPcrRateScanner::Result::NoUsablePcr);
    EXPECT_EQ(m_scanner.Scan((m_sPath + ".missing").c_str()), CPcrRateScanner::Result::CannotOpen);
    EXPECT_EQ(CPcrRateScanner::Describe(CPcrRateScanner::Result::CannotOpen, m_scanner.GetErrno()),
              "No such file or directory");
}

TEST_F(CPcrRateScannerTest, FindsPacketsAfterJunkInEveryPacketSize)
{
    const std::vector<uint8_t> v188 = PcrStream(60, 0, {}, 0);
    for (const int nStep : {188, 192, 204}) {
        ASSERT_EQ(Scan(tsb::Reframe(v188, nStep, 333)), CPcrRateScanner::Result::Ok) << nStep;
        EXPECT_EQ(m_scanner.GetPacketSize(), nStep);
        EXPECT_EQ(m_scanner.GetBitRate(), 1'504'000) << nStep;
        EXPECT_EQ(GetSourceRate(m_sPath.c_str()), 1'504'000) << nStep;
        EXPECT_EQ(GetSourcePacketSize(m_sPath.c_str()), nStep);
    }
}

TEST_F(CPcrRateScannerTest, StopsReadingOnceTheEstimateIsSettled)
{
    const std::vector<uint8_t> vBytes = PcrStream(450, 0, {}, 0); // 45 s, 8.5 MB
    ASSERT_EQ(Scan(vBytes), CPcrRateScanner::Result::Ok);
    EXPECT_EQ(m_scanner.GetBitRate(), 1'504'000);
    EXPECT_LT(m_scanner.GetBytesRead(), (long long)(vBytes.size()) / 2);
}
