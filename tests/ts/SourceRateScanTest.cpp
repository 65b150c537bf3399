#include "braidmill.h"
#include "support/CPacketBuilder.h"
#include "support/Reframe.h"
#include "ts/SourceRate.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

using tsb::CPacketBuilder;
using EResult = BraidmillRateScan::EResult;

namespace {

// PCRs every 100 packets on PID 0x100 at 1,504,000 bit/s, nStep ticks
// apart for the first nSlowPcrs and 2,700,000 after; vJumps lists PCR
// indexes before which the clock jumps by nJump ticks.
std::vector<uint8_t> PcrStream(int nPcrs, int64_t nFirst, const std::vector<int>& vJumps = {},
                               int64_t nJump = 0, int nSlowPcrs = 0, int64_t nStep = 0)
{
    std::vector<uint8_t> vOut;
    int64_t nPcr = nFirst;
    for (int i = 0; i < nPcrs; ++i) {
        for (int nAt : vJumps) {
            nPcr += nAt == i ? nJump : 0;
        }
        tsb::Header h;
        h.nPid = 0x100;
        const tsb::Packet pcr =
            CPacketBuilder::Pcr(h, ((nPcr % kPcrModulo) + kPcrModulo) % kPcrModulo);
        vOut.insert(vOut.end(), pcr.begin(), pcr.end());
        const tsb::Packet null = CPacketBuilder::Null();
        for (int j = 0; j < 99; ++j) {
            vOut.insert(vOut.end(), null.begin(), null.end());
        }
        nPcr += i < nSlowPcrs ? nStep : 2'700'000;
    }
    return vOut;
}

class SourceRateScanTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_sPath = ::testing::TempDir() + "bm_scan_" + std::to_string(getpid()) + ".ts";
    }
    void TearDown() override { std::remove(m_sPath.c_str()); }

    EResult Scan(const std::vector<uint8_t>& vBytes)
    {
        FILE* pFile = std::fopen(m_sPath.c_str(), "wb");
        EXPECT_NE(pFile, nullptr);
        if (pFile != nullptr) {
            if (!vBytes.empty()) {
                EXPECT_EQ(std::fwrite(vBytes.data(), 1, vBytes.size(), pFile), vBytes.size());
            }
            std::fclose(pFile);
        }
        ScanSourceRate(m_sPath.c_str(), m_scan);
        return m_scan.result;
    }

    std::string m_sPath;
    BraidmillRateScan m_scan;
};

} // namespace

TEST_F(SourceRateScanTest, FileStartGivesTheFigureAcrossJumpsAndTheWrap)
{
    // A backward jump early on and the 33-bit wrap later.
    const std::vector<uint8_t> vBytes =
        PcrStream(60, kPcrModulo - 40 * 2'700'000LL, {3}, -500'000'000);
    ASSERT_EQ(Scan(vBytes), EResult::kOk);
    EXPECT_TRUE(m_scan.bFromStart);
    EXPECT_EQ(m_scan.nBitRate, 1'504'000);
    EXPECT_EQ(GetSourceRate(m_sPath.c_str()), 1'504'000);
    EXPECT_EQ(m_scan.nPcrPid, 0x100);
    EXPECT_NEAR(m_scan.fSeconds, 58 * 0.1, 1e-9); // the jump is left out
    EXPECT_EQ(m_scan.llBytesRead, (long long)vBytes.size());
}

TEST_F(SourceRateScanTest, ClassifiesWhatHasNoRate)
{
    EXPECT_EQ(Scan({}), EResult::kEmpty);
    EXPECT_EQ(Scan(std::vector<uint8_t>(1000, 'x')), EResult::kNotTransportStream);
    EXPECT_STREQ(m_scan.szNoPackets, "no transport-stream packets found in the first 1000 bytes "
                                     "(first bytes 0x78 0x78 0x78 0x78 0x78 0x78 0x78 0x78)");
    EXPECT_EQ(Scan(PcrStream(1, 0)), EResult::kNoUsablePcr);
    // Every step longer than half a second: none is an interval.
    EXPECT_EQ(Scan(PcrStream(5, 0, {1, 2, 3, 4}, 27'000'000)), EResult::kNoUsablePcr);
    ScanSourceRate((m_sPath + ".missing").c_str(), m_scan);
    EXPECT_EQ(m_scan.result, EResult::kCannotOpen);
    EXPECT_EQ(m_scan.nErrno, ENOENT);
}

TEST_F(SourceRateScanTest, FindsPacketsAfterJunkInEveryPacketSize)
{
    const std::vector<uint8_t> v188 = PcrStream(60, 0);
    for (const int nStep : {kTsPacketSize, kM2tsPacketSize, kRsPacketSize}) {
        ASSERT_EQ(Scan(tsb::Reframe(v188, nStep, 333)), EResult::kOk) << nStep;
        EXPECT_EQ(m_scan.nPacketSize, nStep);
        EXPECT_EQ(m_scan.nBitRate, 1'504'000) << nStep;
        EXPECT_EQ(GetSourceRate(m_sPath.c_str()), 1'504'000) << nStep;
        EXPECT_EQ(GetSourcePacketSize(m_sPath.c_str()), nStep);
    }
}

TEST_F(SourceRateScanTest, LongerFileIsReadNoFurtherThanItsFirstBytes)
{
    const std::vector<uint8_t> vBytes = PcrStream(450, 0); // 45 s, 8.5 MB
    ASSERT_EQ(Scan(vBytes), EResult::kOk);
    EXPECT_TRUE(m_scan.bFromStart);
    EXPECT_EQ(m_scan.llBytesRead, kRateWindowBytes);
}

// First bytes whose PCR steps are all over half a second: the figure comes
// from the regular steps after them, read only until it no longer moves.
TEST_F(SourceRateScanTest, IrregularStartIsMeasuredFurtherOn)
{
    const int nSlow = kRateWindowBytes / (100 * kTsPacketSize) + 1;
    const std::vector<uint8_t> vBytes = PcrStream(nSlow + 600, 0, {}, 0, nSlow, 14'000'000);
    ASSERT_EQ(Scan(vBytes), EResult::kOk);
    EXPECT_EQ(GetSourceRate(m_sPath.c_str()), -1);
    EXPECT_FALSE(m_scan.bFromStart);
    EXPECT_EQ(m_scan.nBitRate, 1'504'000);
    EXPECT_GT(m_scan.llBytesRead, kRateWindowBytes);
    EXPECT_LT(m_scan.llBytesRead, (long long)vBytes.size());
}
