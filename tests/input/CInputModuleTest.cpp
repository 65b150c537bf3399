#include "CInputModuleFixture.h"

using namespace imt;

TEST_F(CInputModuleTest, HandsOutNothingBeforeReady)
{
    m_module.SetSourceAttribute({1, 0, 0});
    Recv(PayloadOn(kVideoPid));
    EXPECT_FALSE(m_module.IsReady());
    EXPECT_EQ(m_module.GetOnePacket(m_llPts, m_llDts, m_nPcrPid), nullptr);
    EXPECT_EQ(m_llPts, -1);
    EXPECT_EQ(m_llDts, -1);
    EXPECT_EQ(m_nPcrPid, -1);
    EXPECT_EQ(m_module.GetProgramCount(), 0);
}

TEST_F(CInputModuleTest, HandsOutProgramPacketsWithTheirOutputPidsOnly)
{
    MakeReady();
    Recv(CPacketBuilder::Packetize(kPidSdt, CPacketBuilder::SdtSection(1, 1, {{1, "p", "s"}})));
    Recv(CPacketBuilder::Null());
    Recv(PayloadOn(kVideoPid));
    Recv(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}}), 1));
    Recv(PayloadOn(kAudioPid));
    Recv(CPacketBuilder::Packetize(kPmtPid, CPacketBuilder::PmtSection(1, kVideoPid, {}), 1));

    std::vector<int> vPids;
    Packet packet;
    while (Take(&packet)) {
        vPids.push_back(PidOf(packet.data()));
    }
    EXPECT_EQ(vPids, (std::vector<int>{kOutVideo, kOutAudio}));
    EXPECT_EQ(m_module.GetProgramCount(), 1);
}

TEST_F(CInputModuleTest, PidRewriteKeepsTheFlagBits)
{
    MakeReady();
    m_module.GetPidMapList()[kAudioPid] = -1; // not yet translated
    for (uint16_t nPid : {kVideoPid, kAudioPid}) {
        Recv(PayloadOn(nPid)); // the unit start each PID begins with
        ASSERT_TRUE(Take(nullptr));
    }
    for (int nFlags = 0; nFlags < 8; ++nFlags) {
        for (uint16_t nPid : {kVideoPid, kAudioPid}) {
            Header h = On(nPid, uint8_t(nFlags));
            h.bTei = nFlags & 4;
            h.bPusi = nFlags & 2;
            h.bPriority = nFlags & 1;
            Packet in = CPacketBuilder::Payload(h, {0x33});
            Recv(in);
            Packet out;
            ASSERT_TRUE(Take(&out));
            EXPECT_EQ(PidOf(out.data()), nPid == kVideoPid ? kOutVideo : kPidNull);
            EXPECT_EQ(out[1] & 0xE0, in[1] & 0xE0) << nFlags;
            EXPECT_EQ(out[3], in[3]);
        }
    }
}

// A duplicate goes on as it came: receivers drop it by its counter.
TEST_F(CInputModuleTest, DuplicatePacketPassesWithoutACounterError)
{
    MakeReady();
    Recv({PayloadOn(kVideoPid, 4), PayloadOn(kVideoPid, 4), PayloadOn(kVideoPid, 6)});
    EXPECT_EQ(TakeAll(), 3);
    EXPECT_EQ(m_module.GetCcErrors(), 1); // the gap after it
}

TEST_F(CInputModuleTest, OneCallDropsEveryForeignPacketAheadOfAStreamPacket)
{
    MakeReady();
    Recv(CPacketBuilder::Null());
    Recv(PayloadOn(0x555));
    Recv(PayloadOn(kPidSdt));
    Recv(PayloadOn(kAudioPid));
    m_module.StreamEnd();
    Packet out;
    ASSERT_TRUE(Take(&out));
    EXPECT_EQ(PidOf(out.data()), kOutAudio);
    EXPECT_TRUE(m_module.IsStreamEnd()); // the three dropped slots are gone with it
}

TEST_F(CInputModuleTest, DropsASlotThatLostSync)
{
    MakeReady();
    Packet broken = PayloadOn(kVideoPid);
    broken[0] = 0x00;
    Recv(broken);
    Packet good = PayloadOn(kAudioPid);
    Mark(good, 42);
    Recv(good);
    Packet out;
    ASSERT_TRUE(Take(&out));
    EXPECT_EQ(MarkOf(out.data()), 42u);
    EXPECT_FALSE(Take());
}

TEST_F(CInputModuleTest, StreamEndsOnceTheLastPacketIsTakenOut)
{
    MakeReady();
    for (int i = 0; i < 3; ++i) {
        Recv(PayloadOn(kVideoPid, uint8_t(i)));
    }
    m_module.StreamEnd();
    EXPECT_FALSE(m_module.IsStreamEnd());
    ASSERT_TRUE(Take());
    ASSERT_TRUE(Take());
    EXPECT_FALSE(m_module.IsStreamEnd());
    unsigned char* pLast = m_module.GetOnePacket(m_llPts, m_llDts, m_nPcrPid);
    ASSERT_NE(pLast, nullptr);
    EXPECT_FALSE(m_module.IsStreamEnd()); // on loan still counts
    m_module.ReleaseBuffer(pLast);
    EXPECT_TRUE(m_module.IsStreamEnd());
}

TEST_F(CInputModuleTest, LengthZeroStillStoresTheWholePacket)
{
    MakeReady();
    Packet in = PayloadOn(kVideoPid);
    Mark(in, 0xA5A5A5A5);
    m_module.RecvOnePacket(in.data(), 0);
    Packet out;
    ASSERT_TRUE(Take(&out));
    EXPECT_EQ(MarkOf(out.data()), 0xA5A5A5A5u);
}

TEST_F(CInputModuleTest, ProgramCountLeavesOutTheNetworkEntry)
{
    m_module.SetSourceAttribute({1, 0, 0});
    Recv(CPacketBuilder::Packetize(
        kPidPat, CPacketBuilder::PatSection(1, {{0, 0x10}, {1, kPmtPid}, {2, kPmtPid + 1}})));
    Recv(
        CPacketBuilder::Packetize(kPmtPid, CPacketBuilder::PmtSection(1, 0x100, {{2, 0x100, {}}})));
    Recv(CPacketBuilder::Packetize(kPmtPid + 1,
                                   CPacketBuilder::PmtSection(2, 0x200, {{2, 0x200, {}}})));
    ASSERT_TRUE(m_module.IsReady());
    EXPECT_EQ(m_module.GetProgramCount(), 2);
}

TEST_F(CInputModuleTest, NeverReadyOnceTheStreamEndedWithoutPrograms)
{
    m_module.SetSourceAttribute({1, 0, 0});
    Recv(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}})));
    EXPECT_FALSE(m_module.CanNeverBeReady()); // the PMT may still come
    m_module.StreamEnd();
    EXPECT_TRUE(m_module.CanNeverBeReady());

    CInputModule ready;
    ready.SetSourceAttribute({1, 0, 0});
    Packet pat =
        CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}}))[0];
    Packet pmt = CPacketBuilder::Packetize(kPmtPid, CPacketBuilder::PmtSection(1, 0x100, {}))[0];
    ready.RecvOnePacket(pat.data(), kTsPacketSize);
    ready.RecvOnePacket(pmt.data(), kTsPacketSize);
    ready.StreamEnd();
    EXPECT_FALSE(ready.CanNeverBeReady());
}

TEST_F(CInputModuleTest, MissingPmtIsWaitedForHalfTheFifoOrTheEnd)
{
    std::vector<Packet> tables =
        CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}, {2, 0x1001}}));
    tables.push_back(CPacketBuilder::Packetize(
        kPmtPid, CPacketBuilder::PmtSection(1, kVideoPid, {{2, kVideoPid, {}}}))[0]);
    CInputModule shortInput; // ends before the wait would: goes with what it has
    for (CInputModule* pModule : {&m_module, &shortInput}) {
        pModule->SetSourceAttribute({1, 0, 0});
        for (Packet p : tables) {
            pModule->RecvOnePacket(p.data(), kTsPacketSize);
        }
    }
    Recv(std::vector<Packet>(kFifoSlots / 2 - 10, CPacketBuilder::Null()));
    EXPECT_FALSE(m_module.IsReady());
    Recv(std::vector<Packet>(20, CPacketBuilder::Null()));
    ASSERT_TRUE(m_module.IsReady());
    EXPECT_EQ(m_module.GetProgramCount(), 1);
    EXPECT_EQ(m_module.TakeTables(1)->vMissing.at(0).nPmtPid, 0x1001);
    shortInput.StreamEnd();
    EXPECT_TRUE(shortInput.IsReady());
}

TEST_F(CInputModuleTest, TablesAfterMoreThanAFifoFullStillMakeItReady)
{
    // Under the waiting treatment nothing drains the FIFO before the input
    // is ready; a reader that waited for room would wait for ever.
    m_module.SetSourceAttribute({1, 0, 0});
    std::atomic<bool> bDone{false};
    std::thread reader([&] {
        // A PMT stored ahead of the PAT counts too.
        Recv(CPacketBuilder::Packetize(
            kPmtPid, CPacketBuilder::PmtSection(1, kVideoPid, {{2, kVideoPid, {}}})));
        for (int i = 0; i < kFifoSlots + 1500; ++i) {
            Recv(PayloadOn(kVideoPid, uint8_t(i)));
        }
        Recv(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}})));
        Recv(CPacketBuilder::Packetize(
            kPmtPid, CPacketBuilder::PmtSection(1, kVideoPid, {{2, kVideoPid, {}}}), 1));
        bDone = true;
    });
    // Once ready, the stored packets go to the queue, which nothing drains
    // here: the reader may then wait, but never before.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!m_module.IsReady() && !bDone && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_module.AbortWait(); // lets the reader go
    reader.join();
    EXPECT_TRUE(m_module.IsReady());
}

class CInputModuleUnpacedTest : public CInputModuleTest,
                                public ::testing::WithParamInterface<_SOURCE_ATTRIBUTE>
{
};

TEST_P(CInputModuleUnpacedTest, HandsOutAsFastAsAsked)
{
    MakeReady(GetParam());
    for (int i = 0; i < 5; ++i) {
        Recv(PcrOn(kVideoPid, i * kPcrHz));
        Recv(PayloadOn(kAudioPid, uint8_t(i)));
    }
    EXPECT_EQ(TakeAll(), 10); // the clock never moved
}

INSTANTIATE_TEST_SUITE_P(TimingModes, CInputModuleUnpacedTest,
                         ::testing::Values(_SOURCE_ATTRIBUTE{1, 0, 0}, _SOURCE_ATTRIBUTE{0, 1, 0},
                                           _SOURCE_ATTRIBUTE{0, 7, 0}),
                         [](const ::testing::TestParamInfo<_SOURCE_ATTRIBUTE>& param) {
                             return param.param.bNoTiming != 0
                                        ? std::string("NoTiming")
                                        : "Mode" + std::to_string(param.param.nTimingMode);
                         });

TEST_F(CInputModuleTest, WithoutSourceAttributeHandsOutAsFastAsAsked)
{
    m_module.SetClock(m_clock);
    Recv(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}})));
    Recv(CPacketBuilder::Packetize(kPmtPid,
                                   CPacketBuilder::PmtSection(1, kVideoPid, {{2, kVideoPid, {}}})));
    for (int i = 0; i < 3; ++i) {
        Recv(PcrOn(kVideoPid, i * kPcrHz));
    }
    EXPECT_EQ(TakeAll(), 3);
}

// Times of the queued packets, for the timed mode.
