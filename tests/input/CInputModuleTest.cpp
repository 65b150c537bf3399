#include "input/CInputModule.h"

#include "os/CClock.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using tsb::CPacketBuilder;
using tsb::Header;
using tsb::Packet;

namespace {

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x100; // also the PCR PID
constexpr uint16_t kAudioPid = 0x101;
constexpr int kOutVideo = 0x3F6;
constexpr int kOutAudio = 0x3F7;
constexpr int kFifoSlots = kInputFifoBytes / kTsPacketSize;
constexpr int64_t kMs = kPcrHz / 1000; // PCR ticks per millisecond

Header On(uint16_t nPid, uint8_t nCc = 0)
{
    Header h;
    h.nPid = nPid;
    h.nCc = nCc;
    h.bPusi = true; // each packet a unit of its own: a stream starts at a unit start
    return h;
}

Packet PayloadOn(uint16_t nPid, uint8_t nCc = 0)
{
    return CPacketBuilder::Payload(On(nPid, nCc), {0x11, 0x22});
}

Packet PcrOn(uint16_t nPid, int64_t nPcr, bool bDiscontinuity = false)
{
    return CPacketBuilder::Pcr(On(nPid), nPcr, bDiscontinuity);
}

// A number in the last four bytes, which are payload in every packet made here.
void Mark(Packet& packet, uint32_t nNumber)
{
    memcpy(&packet[184], &nNumber, sizeof(nNumber));
}
uint32_t MarkOf(const unsigned char* p)
{
    uint32_t nNumber = 0;
    memcpy(&nNumber, p + 184, sizeof(nNumber));
    return nNumber;
}

int PidOf(const unsigned char* p)
{
    return ((p[1] & 0x1F) << 8) | p[2];
}

bool WaitFor(const std::atomic<bool>& bFlag, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!bFlag.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return bFlag.load();
}

class CInputModuleTest : public ::testing::Test
{
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override
    {
        // The capture swallows failure messages too; give them back.
        const std::string sOutput = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            fputs(sOutput.c_str(), stdout);
        }
    }

    void Recv(Packet packet) { m_module.RecvOnePacket(packet.data(), kTsPacketSize); }
    void Recv(const std::vector<Packet>& packets)
    {
        for (const Packet& packet : packets) {
            Recv(packet);
        }
    }
    // Timing attribute, then PAT and PMT of one program (PCR on the video
    // PID), then the PID map of the two streams.
    void MakeReady(_SOURCE_ATTRIBUTE attr = {1, 0, 0})
    {
        m_module.SetClock(m_clock);
        m_module.SetSourceAttribute(attr);
        Recv(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}})));
        Recv(CPacketBuilder::Packetize(
            kPmtPid,
            CPacketBuilder::PmtSection(1, kVideoPid, {{2, kVideoPid, {}}, {4, kAudioPid, {}}})));
        ASSERT_TRUE(m_module.IsReady());
        int* pMap = m_module.GetPidMapList();
        pMap[kVideoPid] = kOutVideo;
        pMap[kAudioPid] = kOutAudio;
    }
    // One GetOnePacket; the packet is copied and released at once.
    bool Take(Packet* pOut = nullptr)
    {
        unsigned char* p = m_module.GetOnePacket(m_llPts, m_llDts, m_nPcrPid);
        if (p == nullptr) {
            return false;
        }
        if (pOut != nullptr) {
            memcpy(pOut->data(), p, kTsPacketSize);
        }
        m_module.ReleaseBuffer(p);
        return true;
    }
    int TakeAll()
    {
        int nCount = 0;
        while (Take()) {
            ++nCount;
        }
        return nCount;
    }

    os::CManualClock m_clock;
    CInputModule m_module;
    long long m_llPts = 7;
    long long m_llDts = 7;
    int m_nPcrPid = 7;
};

} // namespace

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
class CInputModuleTimingTest : public CInputModuleTest
{
protected:
    std::vector<int64_t> QueuedTimes()
    {
        std::vector<int64_t> vTimes;
        CTimedQueue& queue = m_module.GetQueue();
        while (const CTimedPacket* p = queue.Head()) {
            if (p->nChange == 0) { // table markers are no packets
                vTimes.push_back(p->nTime);
            }
            queue.Pop();
        }
        return vTimes;
    }
};

TEST_F(CInputModuleTimingTest, PacketsAreTimedByPositionBetweenThePcrsAroundThem)
{
    MakeReady({0, 0, 0});
    // Foreign packets count towards the position: they were in the input.
    Recv(PcrOn(kVideoPid, 5 * kMs));
    for (int i = 1; i < 10; ++i) {
        Recv(i % 3 == 0 ? PayloadOn(0x555) : PayloadOn(kAudioPid, uint8_t(i)));
    }
    EXPECT_TRUE(QueuedTimes().empty()) << "one PCR gives no rate: nothing is timed yet";
    Recv(PcrOn(kVideoPid, 15 * kMs));
    const std::vector<int64_t> vTimes = QueuedTimes();
    const std::vector<int64_t> vWanted = {0,      kMs,    2 * kMs, 4 * kMs, 5 * kMs,
                                          7 * kMs, 8 * kMs, 10 * kMs};
    EXPECT_EQ(vTimes, vWanted);
}

TEST_F(CInputModuleTimingTest, PacketsAfterTheLastPcrWaitForTheNextOrTheEnd)
{
    MakeReady({0, 0, 0});
    Recv(PcrOn(kVideoPid, 0));
    Recv(PcrOn(kVideoPid, 2 * kMs));
    ASSERT_EQ(QueuedTimes().size(), 2u);
    Recv(PayloadOn(kAudioPid, 0));
    Recv(PayloadOn(kAudioPid, 1));
    EXPECT_TRUE(QueuedTimes().empty());
    m_module.StreamEnd();
    // At the rate of the last two PCRs: 2 ms per packet.
    EXPECT_EQ(QueuedTimes(), (std::vector<int64_t>{4 * kMs, 6 * kMs}));
}

TEST_F(CInputModuleTimingTest, JumpKeepsTimeGoingAndIsSignalledOnThePacket)
{
    MakeReady({0, 0, 0});
    Recv(PcrOn(kVideoPid, kPcrModulo - kMs)); // across the wrap is no jump
    Recv(PcrOn(kVideoPid, kMs));
    Recv(PcrOn(kVideoPid, 3 * kMs));
    Recv(PcrOn(kVideoPid, 900 * kPcrHz)); // a jump, not signalled
    Recv(PcrOn(kVideoPid, 900 * kPcrHz + 2 * kMs));
    std::vector<int64_t> vTimes;
    std::vector<bool> vSignalled;
    CTimedQueue& queue = m_module.GetQueue();
    while (CTimedPacket* p = queue.HeadMutable()) {
        if (p->nChange != 0) {
            queue.Pop();
            continue;
        }
        CTsPacket packet;
        packet.SetData(p->vData);
        vTimes.push_back(p->nTime);
        vSignalled.push_back(packet.GetDiscontinuityIndicator());
        queue.Pop();
    }
    EXPECT_EQ(vTimes, (std::vector<int64_t>{0, 2 * kMs, 4 * kMs, 6 * kMs, 8 * kMs}));
    EXPECT_EQ(vSignalled, (std::vector<bool>{false, false, false, true, false}));
}

TEST_F(CInputModuleTimingTest, InputWithoutPcrsIsPacedAtItsGivenRate)
{
    m_module.SetBitRate(1'504'000); // 1,000 packets a second
    MakeReady({0, 0, 0});
    const int nCount = m_module.GetQueue().GetCapacity() - 1; // after the tables' marker
    for (int i = 0; i < nCount; ++i) {
        Recv(PayloadOn(kAudioPid, uint8_t(i)));
    }
    const std::vector<int64_t> vTimes = QueuedTimes();
    ASSERT_GE(vTimes.size(), size_t(nCount / 2));
    for (size_t i = 0; i < vTimes.size(); ++i) {
        ASSERT_EQ(vTimes[i], int64_t(i) * kMs) << "packet " << i;
    }
}

namespace {

// An input made ready, then its queue filled to the last slot with audio
// packets numbered 0 on.
class CInputModuleFullTest : public CInputModuleTest
{
protected:
    // Packets the queue holds after the marker of the tables it became ready with.
    int Room() { return m_module.GetQueue().GetCapacity() - 1; }
    void Fill(_OVERFLOW_TREATMENT treatment)
    {
        m_module.SetPrepareType(treatment);
        MakeReady();
        for (int i = 0; i < Room(); ++i) {
            Packet packet = PayloadOn(kAudioPid, uint8_t(i));
            Mark(packet, uint32_t(i));
            Recv(packet);
        }
    }
    // Starts a reader thread that receives one more packet, numbered 99,999.
    void StartBlockedReader()
    {
        m_reader = std::thread([this] {
            Packet packet = PayloadOn(kAudioPid);
            Mark(packet, 99'999);
            Recv(packet);
            m_bReturned = true;
        });
    }
    void JoinReader()
    {
        if (!WaitFor(m_bReturned, std::chrono::seconds(10))) {
            ADD_FAILURE() << "reader still blocked";
            m_module.AbortWait();
        }
        m_reader.join();
    }
    std::vector<uint32_t> DrainMarks()
    {
        std::vector<uint32_t> vMarks;
        Packet out;
        while (Take(&out)) {
            vMarks.push_back(MarkOf(out.data()));
        }
        return vMarks;
    }

    std::thread m_reader;
    std::atomic<bool> m_bReturned{false};
};

} // namespace

TEST_F(CInputModuleFullTest, WaitingReaderReturnsOnceRoomIsMade)
{
    Fill(OVERFLOW_WAIT);
    StartBlockedReader();
    // Not a timing claim: a reader that did not wait would be back by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(m_bReturned.load());
    ASSERT_TRUE(Take());
    JoinReader();
    const std::vector<uint32_t> vMarks = DrainMarks();
    ASSERT_EQ(vMarks.size(), size_t(Room()));
    EXPECT_EQ(vMarks.front(), 1u);
    EXPECT_EQ(vMarks.back(), 99'999u);
    EXPECT_EQ(m_module.GetDropped(), 0);
}

TEST_F(CInputModuleFullTest, AbortWaitReleasesAWaitingReaderAndDropsItsPacket)
{
    Fill(OVERFLOW_WAIT);
    StartBlockedReader();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m_module.AbortWait();
    JoinReader();
    EXPECT_EQ(m_module.GetDropped(), 0) << "a stopped run lost nothing it was to carry";
    const std::vector<uint32_t> vMarks = DrainMarks();
    ASSERT_EQ(vMarks.size(), size_t(Room()));
    EXPECT_EQ(vMarks.back(), uint32_t(Room() - 1));
}

TEST_F(CInputModuleFullTest, NonBlockingReaderDropsAndCountsWhatFindsNoRoom)
{
    // A live input must never hold its reader: what finds the queue full is lost, and counted.
    Fill(OVERFLOW_OVERWRITE_OLDEST);
    for (uint32_t n = 0; n < 3; ++n) {
        Packet packet = PayloadOn(kAudioPid);
        Mark(packet, 90'000 + n);
        Recv(packet);
    }
    EXPECT_EQ(m_module.GetDropped(), 3);
    const std::vector<uint32_t> vMarks = DrainMarks();
    ASSERT_EQ(vMarks.size(), size_t(Room()));
    EXPECT_EQ(vMarks.back(), uint32_t(Room() - 1));
}

TEST(CInputModuleLifeTest, DestroyedMidAnalysisReleasesEverything)
{
    // Leaks and double releases show under the address sanitizer.
    testing::internal::CaptureStdout();
    {
        CInputModule module;
        Packet pat = CPacketBuilder::Packetize(
            kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}, {2, kPmtPid + 1}}))[0];
        module.RecvOnePacket(pat.data(), kTsPacketSize);
        Packet pmt =
            CPacketBuilder::Packetize(kPmtPid, CPacketBuilder::PmtSection(1, 0x100, {}))[0];
        module.RecvOnePacket(pmt.data(), kTsPacketSize);
        EXPECT_FALSE(module.IsReady());
    }
    {
        CInputModule module; // never fed
        module.SetSourceAttribute({0, 0, 0});
    }
    testing::internal::GetCapturedStdout();
}
