#include "input/CTableFollower.h"

#include "input/CInputAnalysis.h"
#include "input/CPsiAnalyzer.h"
#include "input/CQueueWriter.h"
#include "input/CTimedQueue.h"
#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

using tsb::CPacketBuilder;
using tsb::Packet;

namespace {

constexpr uint16_t kPmtPid = 0x1000;
constexpr int kQueuePackets = 2;

class CTableFollowerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testing::internal::CaptureStdout(); // the analyzer's report
        m_writer.SetDropWhenFull(true);     // a full queue refuses at once
        CInputAnalysis analysis(m_analyzer);
        bool bReady = false;
        for (const Packet& p : Pmt(0, {0x100})) {
            bReady = analysis.Store(p.data(), m_nPos++, -1);
        }
        for (const Packet& p :
             CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}}))) {
            bReady = analysis.Store(p.data(), m_nPos++, -1);
        }
        ASSERT_TRUE(bReady);
    }
    void TearDown() override { testing::internal::GetCapturedStdout(); }

    static std::vector<Packet> Pmt(uint8_t nVersion, const std::vector<uint16_t>& vPids)
    {
        std::vector<tsb::EsEntry> vEs;
        for (uint16_t nPid : vPids) {
            vEs.push_back({2, nPid, {}});
        }
        return CPacketBuilder::Packetize(
            kPmtPid, CPacketBuilder::PmtSection(1, vPids[0], vEs, nVersion), nVersion);
    }
    // The new set the packets of a PMT made, or null.
    std::shared_ptr<const CInputTables> Follow(const std::vector<Packet>& vPackets)
    {
        std::shared_ptr<const CInputTables> pLast;
        for (const Packet& p : vPackets) {
            if (auto pNew = m_follower.Follow(p.data(), kPmtPid, m_nPos++)) {
                pLast = pNew;
            }
        }
        return pLast;
    }
    void FillQueue()
    {
        const Packet packet = CPacketBuilder::Payload({0x100, 0});
        for (int i = 0; i < kQueuePackets; ++i) {
            m_writer.Queue(packet.data(), m_nPos, CTimedPacket::kNoMargin);
        }
    }

    CPsiAnalyzer m_analyzer;
    CTimedQueue m_queue{kQueuePackets, kQueuePackets};
    CQueueWriter m_writer{m_queue};
    CTableFollower m_follower{m_analyzer, m_writer, m_queue};
    int64_t m_nPos = 0;
};

} // namespace

// The set the input became ready with is its program list too, and its
// marker stands ahead of what follows.
TEST_F(CTableFollowerTest, ReadySetIsTheProgramListAndTheFirstMarker)
{
    EXPECT_TRUE(m_follower.GetReadyTables().vPrograms.empty());
    const CInputTables& ready = m_follower.TakeUp(m_nPos);
    EXPECT_EQ(&ready, &m_follower.GetReadyTables());
    ASSERT_EQ(ready.vPrograms.size(), 1u);
    EXPECT_TRUE(m_follower.Mark(0, false));
    ASSERT_EQ(m_queue.GetPendingCount(), 1);
    EXPECT_EQ(m_queue.Pending(0).nChange, 1u);
    EXPECT_EQ(m_queue.Pending(0).nTime, 0);
    EXPECT_EQ(m_follower.TakeTables(1).get(), &ready);
    EXPECT_EQ(m_follower.TakeTables(1), nullptr); // taken
}

// Packets the analysis saw are not followed again: the same PMT would read
// as no change, but a stored newer one would count twice.
TEST_F(CTableFollowerTest, FollowsFromThePositionItWasTakenUpAt)
{
    m_follower.TakeUp(m_nPos + 1);
    EXPECT_EQ(Follow({Pmt(1, {0x100, 0x101})[0]}), nullptr); // at m_nPos: before
    EXPECT_NE(Follow(Pmt(2, {0x100, 0x102})), nullptr);
    EXPECT_EQ(Follow(Pmt(2, {0x100, 0x102})), nullptr); // the same again
}

// A marker that finds the queue full, or a live input held back, is owed;
// sets made meanwhile collapse into the newest, which the next kept packet
// marks. The first set stays for an engine that starts with the input.
TEST_F(CTableFollowerTest, MarkerWithoutRoomIsOwedAndTakesTheNewestSet)
{
    m_follower.TakeUp(m_nPos);
    EXPECT_FALSE(m_follower.Mark(0, true)); // held back, with room
    EXPECT_EQ(m_queue.GetPendingCount(), 0);
    FillQueue();
    ASSERT_NE(Follow(Pmt(1, {0x100, 0x101})), nullptr);
    EXPECT_FALSE(m_follower.Mark(m_nPos, false));
    const auto pNewest = Follow(Pmt(2, {0x100, 0x102}));
    ASSERT_NE(pNewest, nullptr);
    EXPECT_FALSE(m_follower.Mark(m_nPos, false));
    EXPECT_TRUE(m_follower.IsOwed());

    m_queue.Publish(m_queue.GetPendingCount());
    m_queue.Pop(); // room for one
    m_follower.PayOwed(m_nPos);
    EXPECT_FALSE(m_follower.IsOwed());
    const CTimedPacket& marker = m_queue.Pending(m_queue.GetPendingCount() - 1);
    EXPECT_EQ(marker.nChange, pNewest->nSequence);
    EXPECT_EQ(marker.nTime, m_nPos);
    EXPECT_EQ(m_follower.TakeTables(1)->nSequence, 1u);
    EXPECT_EQ(m_follower.TakeTables(pNewest->nSequence - 1), nullptr); // never on its own
    EXPECT_EQ(m_follower.TakeTables(pNewest->nSequence), pNewest);
}
