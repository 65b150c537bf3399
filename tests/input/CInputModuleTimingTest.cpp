#include "CInputModuleFixture.h"

using namespace imt;

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
