// An input module as a live input and across resumes: what it queues before
// the output begins, how its queue grows, and how a resume or a jump is
// signalled on every PID.
#include "input/CInputModule.h"

#include "os/CClock.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"

#include <gtest/gtest.h>

#include <vector>

using tsb::CPacketBuilder;
using tsb::Packet;

namespace {

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x100; // carries the PCRs
constexpr uint16_t kAudioPid = 0x101;
constexpr int64_t kMs = kPcrHz / 1000;

struct CQueued
{
    int nPid;
    uint8_t nCc;
    bool bPayload;
    bool bPusi;
    bool bDiscontinuity;
};

class CInputModuleLiveTest : public ::testing::Test
{
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override
    {
        const std::string sOutput = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            fputs(sOutput.c_str(), stdout); // the failure messages are in it
        }
    }

    void Recv(const Packet& packet)
    {
        Packet copy = packet;
        m_module.RecvOnePacket(copy.data(), kTsPacketSize);
    }
    void MakeReady(bool bLive)
    {
        m_module.SetClock(m_clock);
        m_module.SetSourceAttribute({0, 0, 0});
        m_module.SetLive(bLive);
        for (const Packet& p :
             CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}}))) {
            Recv(p);
        }
        for (const Packet& p : CPacketBuilder::Packetize(
                 kPmtPid, CPacketBuilder::PmtSection(
                              1, kVideoPid, {{2, kVideoPid, {}}, {4, kAudioPid, {}}}))) {
            Recv(p);
        }
        ASSERT_TRUE(m_module.IsReady());
    }
    // Video with a PCR every 10 ms of input, audio in between; both start a
    // unit on every packet. The clock moves with the input.
    void Send(int nPairs, bool bPusi = true)
    {
        for (int i = 0; i < nPairs; ++i) {
            tsb::Header v{kVideoPid, m_nCc};
            v.bPusi = bPusi;
            Recv(CPacketBuilder::Pcr(v, m_nPcr, false, {0x11}));
            tsb::Header a{kAudioPid, m_nCc};
            a.bPusi = bPusi;
            Recv(CPacketBuilder::Payload(a, {0x22}));
            m_nCc = uint8_t((m_nCc + 1) & 0x0F);
            m_nPcr += 10 * kMs;
            m_clock.Advance(10'000);
        }
    }
    // What the queue holds, markers left out, and empties it.
    std::vector<CQueued> Drain()
    {
        std::vector<CQueued> v;
        CTimedQueue& queue = m_module.GetQueue();
        while (CTimedPacket* p = queue.HeadMutable()) {
            if (p->nChange == 0) {
                CTsPacket packet;
                packet.SetData(p->vData);
                v.push_back({packet.GetPid(), packet.GetContinuityCounter(),
                             (p->vData[3] & 0x10) != 0, packet.GetPayloadUnitStartIndicator(),
                             packet.GetDiscontinuityIndicator()});
            }
            queue.Pop();
        }
        return v;
    }

    os::CManualClock m_clock;
    CInputModule m_module;
    uint8_t m_nCc = 0;
    int64_t m_nPcr = 0;
};

TEST_F(CInputModuleLiveTest, FirstEntryIsTheMarkerOfTheTablesItBecameReadyWith)
{
    MakeReady(false);
    Send(3); // the second PCR publishes what came before it
    const CTimedPacket* pHead = m_module.GetQueue().Head();
    ASSERT_NE(pHead, nullptr);
    EXPECT_EQ(pHead->nChange, 1u);
    ASSERT_NE(m_module.TakeTables(1), nullptr);
}

// Nothing waits in the queue for an output that has not begun, so its delay
// through the muxer starts at its minimum; then each stream starts at its
// next unit start, flagged where a packet without payload passed before it
// and its counter jumps.
TEST_F(CInputModuleLiveTest, LiveInputQueuesNothingBeforeTheOutputBegins)
{
    MakeReady(true);
    Send(20);
    EXPECT_TRUE(Drain().empty());
    m_module.BeginOutput();
    Recv(CPacketBuilder::AdaptationOnly({kVideoPid, 3}, 183, 0x00));
    Send(2, false);
    Send(1);
    const std::vector<CQueued> v = Drain();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_FALSE(v[0].bPayload);
    EXPECT_TRUE(v[1].bPusi && v[1].nPid == kVideoPid);
    EXPECT_TRUE(v[1].bDiscontinuity) << "its counter jumps from the packet that passed";
    EXPECT_TRUE(v[2].bPusi && !v[2].bDiscontinuity);
    EXPECT_EQ(m_module.GetDropped(), 0);
}

// Down, then back: the first packet of each PID carries the flag, where it
// has no adaptation field on a packet of its own before it with the counter
// one below, so that the counter runs on.
TEST_F(CInputModuleLiveTest, ResumeAfterDownFlagsTheFirstPacketOfEveryPid)
{
    MakeReady(true);
    m_module.BeginOutput();
    Send(3);
    Drain();
    m_module.SetDown();
    m_clock.Advance(5'000'000);
    Send(2);
    const std::vector<CQueued> v = Drain();
    ASSERT_EQ(v.size(), 5u);
    EXPECT_TRUE(v[0].bDiscontinuity) << "the video's own adaptation field carries it";
    EXPECT_EQ(v[1].nPid, kAudioPid);
    EXPECT_FALSE(v[1].bPayload);
    EXPECT_TRUE(v[1].bDiscontinuity);
    EXPECT_EQ(v[1].nCc, uint8_t((v[2].nCc - 1) & 0x0F));
    EXPECT_FALSE(v[2].bDiscontinuity);
    EXPECT_FALSE(v[3].bDiscontinuity || v[4].bDiscontinuity) << "once per resume";
    EXPECT_FALSE(m_module.IsDown());
}

TEST_F(CInputModuleLiveTest, UnsignalledJumpIsSignalledOnEveryPid)
{
    MakeReady(false);
    Send(3);
    m_nPcr += 3600 * kPcrHz;
    Send(2);
    m_module.StreamEnd();
    const std::vector<CQueued> v = Drain();
    ASSERT_EQ(v.size(), 11u); // with the audio's adaptation-only packet
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_FALSE(v[i].bDiscontinuity) << i;
    }
    EXPECT_TRUE(v[6].bDiscontinuity && v[6].nPid == kVideoPid);
    EXPECT_TRUE(v[7].bDiscontinuity && !v[7].bPayload && v[7].nPid == kAudioPid);
    EXPECT_FALSE(v[8].bDiscontinuity || v[9].bDiscontinuity || v[10].bDiscontinuity);
}

// TS-shaped garbage on a program's PIDs: an adaptation field that runs past
// the packet would read as a PCR of hours to a less careful parser.
TEST_F(CInputModuleLiveTest, PacketWithAnImpossibleHeaderIsDropped)
{
    MakeReady(false);
    Send(2);
    Packet bad = CPacketBuilder::Pcr({kVideoPid, 2}, 3600 * kPcrHz, true, {0x11});
    bad[4] = 235;
    Recv(bad);
    Packet reserved = CPacketBuilder::Payload({kAudioPid, 2}, {0x22});
    reserved[3] &= 0xCF; // adaptation_field_control 0
    Recv(reserved);
    Packet noPayload = CPacketBuilder::Pcr({kVideoPid, 2}, 7200 * kPcrHz, false, {0x22});
    noPayload[4] = 183; // a payload flagged, and no byte left for it
    Recv(noPayload);
    Send(2);
    m_module.StreamEnd();
    const std::vector<CQueued> v = Drain();
    ASSERT_EQ(v.size(), 8u);
    for (const CQueued& q : v) {
        EXPECT_FALSE(q.bDiscontinuity) << "no jump seen, none signalled";
    }
}

} // namespace
