#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "support/CManualMuxTest.h"
#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace mtk;
using tsb::CPacketBuilder;
using Bytes = std::vector<unsigned char>;

// The mux thread's steps, run one by one on the test's thread.
class CMuxThreadTest : public CManualMuxTest
{
};

TEST_F(CMuxThreadTest, GatherTakesOnePacketPerInputInInputOrder)
{
    auto pA = ReadyInput(0x100, {{0x02, 0x100, {}}});
    auto pB = ReadyInput(0x200, {{0x02, 0x200, {}}});
    Feed(*pA, Numbered(0x100, 1, 0));
    Feed(*pA, Numbered(0x100, 2, 1));
    Feed(*pB, Numbered(0x200, 3, 0));
    SetUpCore(8.0f, {pA.get(), pB.get()});
    CMuxCore& core = m_core;

    EXPECT_TRUE(core.GatherPackets());
    ASSERT_EQ(core.GetRing().GetQueued(), 2);
    EXPECT_EQ(NumberOf(core.GetRing().Slot(0).pData), 1u);
    EXPECT_EQ(NumberOf(core.GetRing().Slot(1).pData), 3u);
    CTsPacket packet;
    packet.SetData(core.GetRing().Slot(1).pData);
    EXPECT_EQ(packet.GetPid(), 1023);
    EXPECT_TRUE(core.GatherPackets());
    EXPECT_FALSE(core.GatherPackets());
    EXPECT_EQ(core.GetRing().GetQueued(), 3);
}

TEST_F(CMuxThreadTest, FullRingDropsTheGatheredPacketAndLogsOncePerEpisode)
{
    CLogCapture capture;
    auto pIn = ReadyInput(0x100, {{0x02, 0x100, {}}});
    for (uint32_t i = 0; i < 3; ++i) {
        Feed(*pIn, Numbered(0x100, i, uint8_t(i)));
    }
    pIn->StreamEnd();
    SetUpCore(8.0f, {pIn.get()});
    CMuxCore& core = m_core;
    {
        const Bytes vFill(size_t(kRingSlots - 1) * kTsPacketSize, 0x47);
        os::CCsGuard guard(core.GetLock());
        ASSERT_TRUE(core.InsertPackets(vFill.data(), int(vFill.size())));
    }
    EXPECT_TRUE(core.GatherPackets());
    EXPECT_TRUE(core.GatherPackets());
    EXPECT_EQ(core.GetDroppedPackets(), 2);
    EXPECT_EQ(CLogCapture::Count(std::string("2 ") + kMsgRingFull), 1);
    EXPECT_EQ(core.GetRing().GetQueued(), kRingSlots - 1);
    EXPECT_TRUE(core.GatherPackets());
    EXPECT_TRUE(core.AllInputsEnded()) << "dropped packets still went back to the input";
}

TEST_F(CMuxThreadTest, PsiSetGoesOutEvery80MsOfOutputWithRunningCounters)
{
    auto pIn = ReadyInput(0x100, {{0x02, 0x101, {}}});
    SetUpCore(8.0f, {pIn.get()});
    const int64_t nPsiBytes = int64_t(m_core.GetPsiSet().size());
    ASSERT_EQ(nPsiBytes, 4 * kTsPacketSize);

    int nQueued = 0;
    for (int nMs = 0; nMs < 2000; ++nMs) {
        StepMs();
        const int64_t nSince = m_core.GetBytesSincePsi();
        // 80 ms at 8,388.608 bits per millisecond: 83,886 bytes are 79 ms.
        const bool bDue = nSince >= 83887;
        ASSERT_EQ(m_core.InsertPsiIfDue(), bDue) << nSince << " bytes at " << nMs << " ms";
        if (bDue) {
            EXPECT_EQ(m_core.GetBytesSincePsi(), nPsiBytes);
            ++nQueued;
        }
    }
    EXPECT_GE(nQueued, 24);

    std::map<uint16_t, std::vector<int>> ccs;
    size_t nFirstPat = 0;
    for (size_t i = 0; i < m_sink.GetPacketCount(); ++i) {
        const uint16_t nPid = m_sink.PidOf(i);
        if (nPid != kPidNull) {
            if (ccs.empty()) {
                nFirstPat = i;
            }
            ccs[nPid].push_back(m_sink.Packet(i)[3] & kCcMask);
        }
    }
    EXPECT_GE(nFirstPat * kTsPacketSize, 83887u) << "the first set after 80 ms of output";
    ASSERT_EQ(ccs.size(), 4u);
    for (const auto& entry : ccs) {
        EXPECT_GE(entry.second.size(), 17u);
        for (size_t k = 0; k < entry.second.size(); ++k) {
            ASSERT_EQ(entry.second[k], int(k % 16)) << "PID " << entry.first << " set " << k;
        }
    }
    EXPECT_EQ(ccs.count(0), 1u);
    EXPECT_EQ(ccs.count(1011), 1u);
    EXPECT_EQ(ccs.count(kPidSdt), 1u);
    EXPECT_EQ(ccs.count(kPidNit), 1u);
}

TEST_F(CMuxThreadTest, PsiSetThatDoesNotFitWholeWaitsWithItsCountersUnspent)
{
    CLogCapture capture;
    SetUpCore(8.0f); // PAT, SDT, NIT
    StepMs(100);
    {
        // Room for two packets, the set has three.
        const Bytes vFill(size_t(kRingSlots - 3) * kTsPacketSize, 0x47);
        os::CCsGuard guard(m_core.GetLock());
        ASSERT_TRUE(m_core.InsertPackets(vFill.data(), int(vFill.size())));
    }
    EXPECT_FALSE(m_core.InsertPsiIfDue());
    EXPECT_EQ(m_core.GetRing().GetQueued(), kRingSlots - 3);
    EXPECT_EQ(CLogCapture::Count(std::string("2 ") + kMsgRingFull), 1);

    m_sink.m_vData.clear();
    StepMs(40'000); // drains the ring in one step
    ASSERT_EQ(m_core.GetRing().GetQueued(), 0);
    ASSERT_TRUE(m_core.InsertPsiIfDue());
    m_sink.m_vData.clear();
    StepMs(1);
    ASSERT_GE(m_sink.GetPacketCount(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m_sink.Packet(i)[3] & kCcMask, 0) << "packet " << i << " of the first set";
    }
}
