#include "braidmill.h"
#include "support/CPacketBuilder.h"
#include "ts/SourceRate.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

using tsb::CPacketBuilder;

namespace {

// PCRs every 100 packets, 100 ms apart: 1,000 packets of 188 bytes a second.
constexpr int kRate = 1'504'000;

// A stream of null packets with a PCR packet on nPid every nEvery packets,
// starting at packet 0, each nStep ticks after the previous one.
std::vector<uint8_t> PcrStream(int nPackets, int nEvery, int64_t nStep, uint16_t nPid = 0x100,
                               int64_t nFirst = 1'000'000)
{
    std::vector<uint8_t> vBytes;
    vBytes.reserve(size_t(nPackets) * kTsPacketSize);
    tsb::Header h;
    h.nPid = nPid;
    for (int i = 0; i < nPackets; ++i) {
        const tsb::Packet pkt = (i % nEvery == 0)
                                    ? CPacketBuilder::Pcr(h, nFirst + (i / nEvery) * nStep)
                                    : CPacketBuilder::Null();
        vBytes.insert(vBytes.end(), pkt.begin(), pkt.end());
    }
    return vBytes;
}

void PutPacket(std::vector<uint8_t>& vBytes, int nIndex, const tsb::Packet& pkt)
{
    std::memcpy(vBytes.data() + size_t(nIndex) * kTsPacketSize, pkt.data(), kTsPacketSize);
}

// Runs the estimator on a heap copy of exactly the given bytes, so that a
// read past the end shows up under AddressSanitizer.
int Estimate(const std::vector<uint8_t>& vBytes, size_t nLength)
{
    std::unique_ptr<unsigned char[]> pCopy(new unsigned char[nLength == 0 ? 1 : nLength]);
    std::memcpy(pCopy.get(), vBytes.data(), nLength);
    return EstimateTsBitRate(pCopy.get(), int(nLength));
}

int Estimate(const std::vector<uint8_t>& vBytes)
{
    return Estimate(vBytes, vBytes.size());
}

class CTempFile
{
public:
    explicit CTempFile(const std::vector<uint8_t>& vBytes)
    {
        char szPath[] = "/tmp/bm_rate_XXXXXX";
        const int fd = mkstemp(szPath);
        EXPECT_GE(fd, 0);
        m_sPath = szPath;
        size_t nDone = 0;
        while (fd >= 0 && nDone < vBytes.size()) {
            const ssize_t n = write(fd, vBytes.data() + nDone, vBytes.size() - nDone);
            if (n <= 0) {
                break;
            }
            nDone += size_t(n);
        }
        EXPECT_EQ(nDone, vBytes.size());
        if (fd >= 0) {
            close(fd);
        }
    }
    ~CTempFile() { unlink(m_sPath.c_str()); }
    const char* Path() const { return m_sPath.c_str(); }

private:
    std::string m_sPath;
};

} // namespace

TEST(SourceRateTest, PacketsBetweenFirstAndLastPcrCountTowardsTheRate)
{
    // Last PCR at packet 20,400: 20,400 packets over 550,800,000 ticks.
    const auto vBytes = PcrStream(20'480, 100, 2'700'000);
    EXPECT_EQ(Estimate(vBytes), kRate);
}

namespace {

// A file of nPackets (after nLead junk bytes) with PCRs every 100 packets at
// kRate, one more on packet nOdd 1,000 ticks later than kRate puts it, and
// after that PCRs a little faster: whatever is examined moves the figure.
struct WindowCase
{
    const char* szName;
    int nPackets;
    int nOdd;
    int nLead;
    bool bOddCounts;
};

class SourceRateWindowTest : public ::testing::TestWithParam<WindowCase>
{
};

} // namespace

TEST_P(SourceRateWindowTest, FileIsRatedFromItsFirstBytesOnly)
{
    const WindowCase& c = GetParam();
    constexpr int64_t kFirst = 1'000'000;
    constexpr int64_t kTicks = 27'000; // per packet at kRate
    std::vector<uint8_t> vBytes = PcrStream(c.nPackets, 100, 100 * kTicks, 0x100, kFirst);
    tsb::Header h;
    h.nPid = 0x100;
    const int64_t nOddPcr = kFirst + c.nOdd * kTicks + 1'000;
    PutPacket(vBytes, c.nOdd, CPacketBuilder::Pcr(h, nOddPcr));
    for (int i = (c.nOdd / 100 + 1) * 100; i < c.nPackets; i += 100) {
        PutPacket(vBytes, i, CPacketBuilder::Pcr(h, nOddPcr + (i - c.nOdd) * (kTicks + 100)));
    }
    vBytes.insert(vBytes.begin(), size_t(c.nLead), 0x11);
    CTempFile file(vBytes);
    const int64_t nWithOdd =
        int64_t(c.nOdd) * kTsPacketSize * 8 * kPcrHz / (c.nOdd * kTicks + 1'000);
    EXPECT_EQ(GetSourceRate(file.Path()), c.bOddCounts ? int(nWithOdd) : kRate);
}

// 20,480 packets of 188 bytes are the window: its last packet ends on its
// last byte, and one junk byte before the first packet pushes it out.
INSTANTIATE_TEST_SUITE_P(
    Files, SourceRateWindowTest,
    ::testing::Values(WindowCase{"ShorterThanTheWindow", 15'000, 14'999, 0, true},
                      WindowCase{"ExactlyTheWindow", 20'480, 20'479, 0, true},
                      WindowCase{"LongerThanTheWindow", 30'000, 20'479, 0, true},
                      WindowCase{"LastPacketPastTheWindow", 30'000, 20'479, 1, false}),
    [](const ::testing::TestParamInfo<WindowCase>& param) { return param.param.szName; });

TEST(SourceRateTest, MissingEmptyOrPcrLessFileGivesMinusOne)
{
    EXPECT_EQ(GetSourceRate("/nonexistent/dir/none.ts"), -1);
    EXPECT_EQ(GetSourceRate(nullptr), -1);
    CTempFile empty(std::vector<uint8_t>{});
    EXPECT_EQ(GetSourceRate(empty.Path()), -1);
    const tsb::Packet null = CPacketBuilder::Null();
    std::vector<uint8_t> vNulls;
    for (int i = 0; i < 1000; ++i) {
        vNulls.insert(vNulls.end(), null.begin(), null.end());
    }
    CTempFile nulls(vNulls);
    EXPECT_EQ(GetSourceRate(nulls.Path()), -1);
}

TEST(SourceRateTest, PcrStepOfHalfSecondIsTheLimit)
{
    EXPECT_GT(Estimate(PcrStream(400, 100, 13'500'000)), 0);
    EXPECT_EQ(Estimate(PcrStream(400, 100, 13'500'001)), -1);
}

TEST(SourceRateTest, StepAfterPcrZeroIsCheckedToo)
{
    // The first PCR is 0, the next one a minute later: not a usable step.
    EXPECT_EQ(Estimate(PcrStream(101, 100, 60 * kPcrHz, 0x100, 0)), -1);
    EXPECT_GT(Estimate(PcrStream(2000, 100, 2'700'000, 0x100, 0)), 0);
}

TEST(SourceRateTest, SpanOfOneSecondOrLessGivesMinusOne)
{
    // Ten steps of 2,700,000 ticks: exactly one second.
    EXPECT_EQ(Estimate(PcrStream(1001, 100, 2'700'000)), -1);
    // One more packet reaches the next PCR.
    EXPECT_GT(Estimate(PcrStream(1101, 100, 2'700'000)), 0);
    // A single PCR has no span at all.
    EXPECT_EQ(Estimate(PcrStream(100, 100, 2'700'000)), -1);
}

TEST(SourceRateTest, OnlyTheFirstPcrPidIsMeasured)
{
    auto vBytes = PcrStream(20'480, 100, 2'700'000);
    // A second PCR PID with wild values in between must change nothing.
    tsb::Header h;
    h.nPid = 0x200;
    for (int i = 50; i < 20'480; i += 100) {
        PutPacket(vBytes, i, CPacketBuilder::Pcr(h, int64_t(i) * 977'777 % kPcrModulo));
    }
    EXPECT_EQ(Estimate(vBytes), kRate);
}

TEST(SourceRateTest, CountStartsAtTheFirstPcrPacket)
{
    // Packets before the first PCR do not count.
    auto vBytes = PcrStream(20'480, 100, 2'700'000);
    std::vector<uint8_t> vLead;
    const tsb::Packet null = CPacketBuilder::Null();
    for (int i = 0; i < 37; ++i) {
        vLead.insert(vLead.end(), null.begin(), null.end());
    }
    vLead.insert(vLead.end(), vBytes.begin(), vBytes.end());
    EXPECT_EQ(Estimate(vLead), kRate);
}

TEST(SourceRateTest, PartialLastPacketIsNotRead)
{
    auto vBytes = PcrStream(20'480, 100, 2'700'000);
    // Cut inside packet 20,400, the last PCR packet: it is not examined,
    // so the last PCR is the one at packet 20,300.
    const size_t nCut = size_t(20'400) * kTsPacketSize + 100;
    EXPECT_EQ(Estimate(vBytes, nCut), kRate);
}

TEST(SourceRateTest, LostSyncPositionCountsButIsNotLookedInto)
{
    auto vBytes = PcrStream(20'480, 100, 2'700'000);
    // A packet with a broken sync byte, carrying what would be a wild PCR:
    // it is skipped, yet its 188 bytes still count.
    tsb::Header h;
    h.nPid = 0x100;
    tsb::Packet bad = CPacketBuilder::Pcr(h, 5);
    bad[0] = 0x00;
    PutPacket(vBytes, 150, bad);
    EXPECT_EQ(Estimate(vBytes), kRate);
    // Also when the very first position has lost sync.
    PutPacket(vBytes, 0, bad);
    PutPacket(vBytes, 1, CPacketBuilder::Pcr(h, 1'000'000));
    EXPECT_GT(Estimate(vBytes), 0);
}

TEST(SourceRateTest, JunkInsideIsSkippedAndThePacketsAfterItCount)
{
    // A splice of 61 bytes: the packets after it are found again, as the
    // reader finds them, instead of every position after it losing sync.
    auto vBytes = PcrStream(20'000, 100, 2'700'000);
    vBytes.insert(vBytes.begin() + 150 * kTsPacketSize, 61, 0x11);
    EXPECT_EQ(Estimate(vBytes), kRate);
}

TEST(SourceRateTest, FastStreamFitsInOneSecondAndGivesMinusOne)
{
    // About 33 Mbit/s: PCRs every 1,000 packets, 0.045 s apart, so the
    // 20,480 packets of one read span only 0.9 s.
    EXPECT_EQ(Estimate(PcrStream(20'480, 1000, 1'215'000)), -1);
}

namespace {

// A PCR-every-100-packets stream whose clock does something at PCR nAt.
struct JumpCase
{
    const char* szName;
    int64_t nFirst;  // first PCR, ticks
    int64_t nJump;   // ticks added to every PCR from nAt on
    bool bIndicated; // discontinuity_indicator on PCR nAt
};

class SourceRateJumpTest : public ::testing::TestWithParam<JumpCase>
{
};

std::vector<uint8_t> JumpStream(const JumpCase& c, int nAt)
{
    std::vector<uint8_t> vBytes = PcrStream(20'480, 100, 2'700'000);
    tsb::Header h;
    h.nPid = 0x100;
    for (int i = 0; i * 100 < 20'480; ++i) {
        const int64_t nPcr = c.nFirst + int64_t(i) * 2'700'000 + (i >= nAt ? c.nJump : 0);
        PutPacket(vBytes, i * 100,
                  CPacketBuilder::Pcr(h, ((nPcr % kPcrModulo) + kPcrModulo) % kPcrModulo,
                                      c.bIndicated && i == nAt));
    }
    return vBytes;
}

} // namespace

// Only the regular steps count: a jump, announced or not, changes nothing,
// and the 33-bit wrap is no jump at all.
TEST_P(SourceRateJumpTest, RateComesFromTheRegularSteps)
{
    const JumpCase& c = GetParam();
    EXPECT_EQ(Estimate(JumpStream(c, 50)), kRate);
    // A jump in the first step must not set the norm for the others.
    EXPECT_EQ(Estimate(JumpStream(c, 1)), kRate);
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, SourceRateJumpTest,
    ::testing::Values(JumpCase{"WrapOfTheBase", kPcrModulo - 80 * 2'700'000LL, 0, false},
                      JumpCase{"Forward200ms", 1'000'000, 5'400'000, false},
                      JumpCase{"Forward40ms", 1'000'000, 1'080'000, false},
                      JumpCase{"Backward", 900'000'000, -500'000'000, false},
                      JumpCase{"BackwardWithinAStep", 900'000'000, -2'000'000, false},
                      JumpCase{"AnnouncedTenSeconds", 1'000'000, 270'000'000, true}),
    [](const ::testing::TestParamInfo<JumpCase>& param) { return param.param.szName; });
