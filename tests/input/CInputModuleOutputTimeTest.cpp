// What the engine's output-time mode asks of an input: why nothing came,
// when a held-back input falls due, and waits that end on the other
// thread's progress.
#include "input/CInputModule.h"

#include "os/CClock.h"
#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using tsb::CPacketBuilder;

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x100; // also the PCR PID
constexpr uint16_t kAudioPid = 0x101;

class CInputModuleOutputTimeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_module.SetClock(m_clock);
        m_module.SetSourceAttribute({0, 0, 0});
        Recv(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}})));
        Recv(CPacketBuilder::Packetize(
            kPmtPid,
            CPacketBuilder::PmtSection(1, kVideoPid, {{2, kVideoPid, {}}, {4, kAudioPid, {}}})));
        ASSERT_TRUE(m_module.IsReady());
        EXPECT_FALSE(Take()); // drops the tables: the FIFO is empty
    }
    void Recv(tsb::Packet packet) { m_module.RecvOnePacket(packet.data(), kTsPacketSize); }
    void Recv(const std::vector<tsb::Packet>& vPackets)
    {
        for (const tsb::Packet& packet : vPackets) {
            Recv(packet);
        }
    }
    bool Take()
    {
        long long llPts = 0, llDts = 0;
        int nPcrPid = 0;
        unsigned char* p = m_module.GetOnePacket(llPts, llDts, nPcrPid);
        if (p != nullptr) {
            m_module.ReleaseBuffer(p);
        }
        return p != nullptr;
    }

    os::CManualClock m_clock;
    CInputModule m_module;
};

} // namespace

TEST_F(CInputModuleOutputTimeTest, MissTellsHeldBackFromRunEmptyAndGivesTheDueTime)
{
    EXPECT_FALSE(Take());
    EXPECT_EQ(m_module.GetLastMiss(), CInputModule::EMiss::kEmpty);
    EXPECT_EQ(m_module.GetDueMicros(), -1) << "no PCR yet";

    // Tables only: dropped, and the FIFO runs empty behind them.
    Recv(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}})));
    EXPECT_FALSE(Take());
    EXPECT_EQ(m_module.GetLastMiss(), CInputModule::EMiss::kEmpty);

    const int64_t nStart = m_clock.Micros();
    Recv(CPacketBuilder::Pcr(mtk::On(kVideoPid), 0));
    Recv(CPacketBuilder::Pcr(mtk::On(kVideoPid), kPcrHz / 2));
    Recv(mtk::Numbered(kAudioPid, 1, 0));
    EXPECT_TRUE(Take());
    EXPECT_EQ(m_module.GetLastMiss(), CInputModule::EMiss::kNone);
    EXPECT_TRUE(Take()); // half a second of input clock
    EXPECT_FALSE(Take());
    EXPECT_EQ(m_module.GetLastMiss(), CInputModule::EMiss::kHeldBack);
    EXPECT_TRUE(m_module.HasStoredPacket());
    EXPECT_EQ(m_module.GetDueMicros(), nStart + 500'000);

    m_clock.Set(nStart + 499'999);
    EXPECT_FALSE(Take()) << "still early a microsecond before";
    m_clock.Set(nStart + 500'000);
    EXPECT_TRUE(Take());
    EXPECT_FALSE(m_module.HasStoredPacket());
}

TEST_F(CInputModuleOutputTimeTest, WaitForDataEndsWithThePacketOrTheEndOfAnotherThread)
{
    std::thread reader([this] {
        std::this_thread::sleep_for(20ms);
        Recv(mtk::Numbered(kAudioPid, 1, 0));
        std::this_thread::sleep_for(20ms);
        m_module.StreamEnd();
    });
    while (!m_module.HasStoredPacket()) {
        m_module.WaitForData(10'000);
    }
    EXPECT_TRUE(Take());
    while (!m_module.IsStreamEnd()) {
        m_module.WaitForData(10'000);
    }
    reader.join();
}

TEST_F(CInputModuleOutputTimeTest, FullFifoReaderIsWokenByABatchOfFreedSlots)
{
    m_module.SetRoomWakeups(true);
    const int nSlots = kInputFifoBytes / kTsPacketSize;
    for (int i = 0; i < nSlots; ++i) {
        Recv(mtk::Numbered(kAudioPid, uint32_t(i), uint8_t(i & 0xF)));
    }
    std::atomic<bool> bStored{false};
    std::thread reader([&] {
        Recv(mtk::Numbered(kAudioPid, uint32_t(nSlots), 0));
        bStored.store(true);
    });
    // Unpaced so far (no PCR): everything stored comes out, and the
    // reader's packet after it.
    int nTaken = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (nTaken < nSlots + 1 && std::chrono::steady_clock::now() < deadline) {
        if (Take()) {
            ++nTaken;
        } else {
            m_module.WaitForData(5);
        }
    }
    EXPECT_EQ(nTaken, nSlots + 1);
    m_module.AbortWait(); // lets the reader go should it still wait
    reader.join();
    EXPECT_TRUE(bStored.load());
}
