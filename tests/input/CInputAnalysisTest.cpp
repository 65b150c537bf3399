#include "input/CInputAnalysis.h"

#include "input/CPsiAnalyzer.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using tsb::CPacketBuilder;
using tsb::Packet;

namespace {

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x100;
constexpr int kFifoSlots = kInputFifoBytes / kTsPacketSize;

class CInputAnalysisTest : public ::testing::Test
{
protected:
    void SetUp() override { testing::internal::CaptureStdout(); } // the analyzer's report
    void TearDown() override { testing::internal::GetCapturedStdout(); }

    // Stores the packets; true when the last made the input ready.
    bool Store(const std::vector<Packet>& vPackets, int nGivenBitRate = -1)
    {
        bool bReady = false;
        for (const Packet& packet : vPackets) {
            bReady = m_analysis.Store(packet.data(), m_nPos++, nGivenBitRate);
        }
        return bReady;
    }
    static std::vector<Packet> Pat(std::vector<tsb::PatEntry> programs = {{1, kPmtPid}})
    {
        return CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, programs));
    }
    static std::vector<Packet> Pmt()
    {
        return CPacketBuilder::Packetize(
            kPmtPid, CPacketBuilder::PmtSection(1, kVideoPid, {{2, kVideoPid, {}}}));
    }
    // What Replay hands on: each packet's first payload byte and position.
    std::vector<std::pair<int, int64_t>> Replay()
    {
        std::vector<std::pair<int, int64_t>> v;
        m_analysis.Replay(m_nPos, [&](const unsigned char* p, int64_t nPos) {
            v.emplace_back(CTsPacket::PidOf(p) == kVideoPid ? p[4] : -1, nPos);
        });
        return v;
    }

    CPsiAnalyzer m_analyzer;
    CInputAnalysis m_analysis{m_analyzer};
    int64_t m_nPos = 0;
};

std::vector<Packet> Video(int nCount, int nFirst = 0)
{
    std::vector<Packet> v;
    for (int i = nFirst; i < nFirst + nCount; ++i) {
        v.push_back(CPacketBuilder::Payload({kVideoPid, uint8_t(i & 0x0F)}, {uint8_t(i)}));
    }
    return v;
}

} // namespace

TEST_F(CInputAnalysisTest, ReplaysWhatWasStoredInOrderAtItsPositions)
{
    EXPECT_FALSE(Store(Video(3)));
    EXPECT_FALSE(Store(Pat()));
    EXPECT_TRUE(Store(Pmt()));
    EXPECT_EQ(m_analysis.GetStoredCount(), 5);
    const auto v = Replay();
    ASSERT_EQ(v.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(v[size_t(i)].second, i);
        EXPECT_EQ(v[size_t(i)].first, i < 3 ? i : -1);
    }
    EXPECT_EQ(m_analysis.GetStoredCount(), 0); // the FIFO is gone
    EXPECT_TRUE(Replay().empty());             // once
}

// The FIFO keeps the newest stretch: what it dropped is not replayed, and
// the positions still count every packet received.
TEST_F(CInputAnalysisTest, ReplayAfterAnOverflowStartsAtTheOldestKept)
{
    Store(Video(kFifoSlots + 7));
    Store(Pat());
    ASSERT_TRUE(Store(Pmt()));
    const auto v = Replay();
    ASSERT_EQ(v.size(), size_t(kFifoSlots));
    EXPECT_EQ(v.front().second, 9); // 7 video + PAT + PMT past the slots
    EXPECT_EQ(v.front().first, 9 & 0xFF);
    EXPECT_EQ(v.back().second, m_nPos - 1);
}

// A missing PMT is waited for a second of the input's rate when the client
// gave one, counted from the PAT.
TEST_F(CInputAnalysisTest, MissingPmtIsWaitedForTheGivenRateFromThePat)
{
    const int nRate = 8 * kTsPacketSize * 10; // ten packets a second
    Store(Pat({{1, kPmtPid}, {2, 0x1001}}), nRate);
    EXPECT_FALSE(Store(Pmt(), nRate));                   // position 1
    EXPECT_FALSE(Store(Video(9), nRate));                // 10 past the PAT
    EXPECT_TRUE(Store({CPacketBuilder::Null()}, nRate)); // 11
}

// ... or a second of its PCRs on one PID, a jump not counted.
TEST_F(CInputAnalysisTest, MissingPmtIsWaitedForASecondOfPcrs)
{
    Store(Pat({{1, kPmtPid}, {2, 0x1001}}));
    Store(Pmt());
    auto Pcr = [](uint16_t nPid, int64_t nPcr) {
        return std::vector<Packet>{CPacketBuilder::Pcr({nPid, 0}, nPcr)};
    };
    EXPECT_FALSE(Store(Pcr(kVideoPid, 0)));
    EXPECT_FALSE(Store(Pcr(kVideoPid, kPcrHz / 2)));
    EXPECT_FALSE(Store(Pcr(0x200, kPcrHz * 3)));     // another PID's clock
    EXPECT_FALSE(Store(Pcr(kVideoPid, kPcrHz * 9))); // a jump
    EXPECT_FALSE(Store(Pcr(kVideoPid, kPcrHz * 9 + kPcrHz / 2 - 1)));
    EXPECT_TRUE(Store(Pcr(kVideoPid, kPcrHz * 9 + kPcrHz / 2)));
}
