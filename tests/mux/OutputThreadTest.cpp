#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "support/CManualMuxTest.h"
#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

using namespace mtk;
using tsb::CPacketBuilder;
using Bytes = std::vector<unsigned char>;

// The output thread's steps on a manual clock.
class COutputThreadTest : public CManualMuxTest
{
};

TEST_F(COutputThreadTest, NothingQueuedGivesNullPacketsAtTheRate)
{
    SetUpCore(2.0f);
    for (int i = 0; i < 100; ++i) {
        StepMs(10);
    }
    // One second at 2 x 1,048,576 bit/s, rounded up to a whole packet.
    EXPECT_EQ(m_sink.GetPacketCount(), (262144u + kTsPacketSize - 1) / kTsPacketSize);
    for (size_t i = 0; i < m_sink.GetPacketCount(); ++i) {
        ASSERT_TRUE(IsNullPacket(m_sink.Packet(i))) << i;
    }
}

TEST_F(COutputThreadTest, QueuedPacketsLeaveFirstThenNullPackets)
{
    SetUpCore(1.0f); // 131 bytes a millisecond: 7 ms make five packets due
    for (uint32_t i = 0; i < 3; ++i) {
        Queue(m_core, Numbered(0x300, 100 + i, uint8_t(i)));
    }
    StepMs(7);
    ASSERT_EQ(m_sink.GetPacketCount(), 5u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(NumberOf(m_sink.Packet(i)), 100 + i);
        EXPECT_EQ(m_sink.PidOf(i), 0x300) << "no calculator on this PID: bytes unchanged";
    }
    EXPECT_TRUE(IsNullPacket(m_sink.Packet(3)));
    EXPECT_TRUE(IsNullPacket(m_sink.Packet(4)));
    EXPECT_EQ(m_core.GetRing().GetQueued(), 0);
    EXPECT_TRUE(IsNullPacket(m_core.GetRing().Slot(kRingSlots - 3).pData));
}

// PCR PID 0x101 of the input leaves as 1012; at 1,048,576 bit/s the output
// moves 131,072 bytes a second.
class COutputThreadPcrTest : public CManualMuxTest
{
protected:
    static constexpr int64_t kBytesPerSecond = 131072;
    static constexpr uint16_t kPcrPid = 1012;

    void SetUp() override
    {
        m_pIn = ReadyInput(0x101, {{0x02, 0x102, {}}});
        SetUpCore(1.0f, {m_pIn.get()});
    }
    // Output packets on the PCR PID that carry a PCR: position and value.
    std::vector<std::pair<size_t, int64_t>> OutputPcrs()
    {
        std::vector<std::pair<size_t, int64_t>> vPcrs;
        for (size_t i = 0; i < m_sink.GetPacketCount(); ++i) {
            CTsPacket packet;
            packet.SetData(m_sink.Packet(i));
            if (packet.GetPid() == kPcrPid && packet.GetPcr() >= 0) {
                vPcrs.emplace_back(i, packet.GetPcr());
            }
        }
        return vPcrs;
    }

    std::unique_ptr<CInputModuleIface> m_pIn;
};

TEST_F(COutputThreadPcrTest, OneCalculatorPerOutputPcrPidAtTheOutputRate)
{
    ASSERT_EQ(m_core.GetPcrCalcs().size(), 1u);
    EXPECT_EQ(m_core.GetPcrCalcs().begin()->first, kPcrPid);
}

TEST_F(COutputThreadPcrTest, FirstPcrKeepsItsValueLaterOnesSitAtTheirOutputPosition)
{
    const int64_t nFirst = 5'000'000;
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), nFirst));
    for (uint32_t i = 0; i < 9; ++i) {
        Queue(m_core, Numbered(1013, i, uint8_t(i)));
    }
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 1)); // wrong value, restamped
    Queue(m_core, CPacketBuilder::Payload(On(kPcrPid, 1), {0x01}));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 2));
    for (int i = 0; i < 20; ++i) {
        StepMs();
    }
    const auto vPcrs = OutputPcrs();
    ASSERT_EQ(vPcrs.size(), 3u);
    EXPECT_EQ(vPcrs[0], std::make_pair(size_t(0), nFirst));
    EXPECT_EQ(vPcrs[1], std::make_pair(size_t(10), nFirst + Ticks(10, kBytesPerSecond)));
    EXPECT_EQ(vPcrs[2], std::make_pair(size_t(12), nFirst + Ticks(12, kBytesPerSecond)));
    for (size_t i = 1; i < 10; ++i) {
        EXPECT_EQ(NumberOf(m_sink.Packet(i)), i - 1);
    }
}

TEST_F(COutputThreadPcrTest, DiscontinuityKeepsItsOwnPcrAndRestartsTheReference)
{
    const int64_t nFirst = 1'000'000, nJump = 900'000'000;
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), nFirst));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 7));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), nJump, true));
    Queue(m_core, CPacketBuilder::Null());
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 7));
    // A discontinuity flagged on a packet without PCR: the next PCR is kept.
    Queue(m_core, CPacketBuilder::AdaptationOnly(On(kPcrPid), 1, 0x80));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 12345));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 7));
    for (int i = 0; i < 20; ++i) {
        StepMs();
    }
    const auto vPcrs = OutputPcrs();
    ASSERT_EQ(vPcrs.size(), 6u);
    EXPECT_EQ(vPcrs[1].second, nFirst + Ticks(1, kBytesPerSecond));
    EXPECT_EQ(vPcrs[2].second, nJump);
    EXPECT_EQ(vPcrs[3].second, nJump + Ticks(2, kBytesPerSecond));
    EXPECT_EQ(vPcrs[4].second, 12345);
    EXPECT_EQ(vPcrs[5].second, 12345 + Ticks(1, kBytesPerSecond));
}

TEST_F(COutputThreadPcrTest, PcrsStayExactOverAnHourAcrossTheWrap)
{
    // An hour of output without real time, PCRs close together (as on a
    // video PID) and the 33-bit wrap twenty minutes in. Every PCR must sit at
    // its own position: an error carried from one PCR to the next would add
    // up to far more than a tick.
    const int64_t nFirst = kPcrModulo - 20 * 60 * kPcrHz;
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), nFirst));
    size_t nChecked = 0;
    int64_t nWritten = 0; // output packets before this step's
    int64_t nMaxError = 0;
    bool bWrapped = false;
    for (int nStep = 0; nStep < 3600 * 100; ++nStep) {
        for (int k = 0; k < 1 + nStep % 3; ++k) {
            Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 0));
        }
        StepMs(10);
        for (size_t i = 0; i < m_sink.GetPacketCount(); ++i) {
            CTsPacket packet;
            packet.SetData(m_sink.Packet(i));
            if (packet.GetPid() != kPcrPid) {
                continue;
            }
            const int64_t nPosition = nWritten + int64_t(i);
            const int64_t nWant = (nFirst + Ticks(nPosition, kBytesPerSecond)) % kPcrModulo;
            nMaxError = std::max<int64_t>(nMaxError, std::llabs(packet.GetPcr() - nWant));
            bWrapped = bWrapped || packet.GetPcr() < nFirst;
            ++nChecked;
        }
        // Keeps memory flat over the hour.
        nWritten += int64_t(m_sink.GetPacketCount());
        m_sink.m_vData.clear();
    }
    EXPECT_LE(nMaxError, 1);
    EXPECT_TRUE(bWrapped);
    EXPECT_GT(nChecked, 700'000u) << "two PCRs a step on average";
}
