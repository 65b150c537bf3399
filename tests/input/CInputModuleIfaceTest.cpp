#include "braidmill.h"

#include "support/CPacketBuilder.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using tsb::CPacketBuilder;
using tsb::Header;
using tsb::Packet;

namespace {

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x100; // carries the PCR
constexpr uint16_t kAudioPid = 0x101;
constexpr int kOutVideo = 0x200;
constexpr int kOutAudio = 0x201;

Header On(uint16_t nPid, uint8_t nCc)
{
    Header h;
    h.nPid = nPid;
    h.nCc = nCc;
    h.bPusi = true; // each packet a unit of its own: a stream starts at a unit start
    return h;
}

} // namespace

TEST(CInputModuleIfaceTest, FreshFacadeIsNotReadyAndStartChangesNothing)
{
    CInputModuleIface input;
    input.Start();
    EXPECT_FALSE(input.IsReady());
    EXPECT_FALSE(input.IsStreamEnd());
    EXPECT_FALSE(input.CanNeverBeReady());
    EXPECT_EQ(input.GetProgramCount(), 0);
    ASSERT_NE(input.GetDemuxInfo(), nullptr);
    EXPECT_TRUE(input.GetDemuxInfo()->empty());
    int* pMap = input.GetPidMapList();
    ASSERT_NE(pMap, nullptr);
    for (int nPid = 0; nPid < kPidCount; ++nPid) {
        ASSERT_EQ(pMap[nPid], -1) << nPid;
    }
    input.StreamEnd();
    EXPECT_TRUE(input.IsStreamEnd());
    EXPECT_TRUE(input.CanNeverBeReady());
}

// A real reader thread and a real consumer thread, as a source and the mux
// thread drive an input: every program packet comes out once, in order,
// with its output PID, although the stream is longer than the FIFO and
// paced by its PCRs on the wall clock.
TEST(CInputModuleIfaceTest, ThreadedReaderAndConsumerPassEveryProgramPacketInOrder)
{
    testing::internal::CaptureStdout();
    std::vector<Packet> stream;
    for (const auto& p :
         CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}}))) {
        stream.push_back(p);
    }
    for (const auto& p : CPacketBuilder::Packetize(
             kPmtPid,
             CPacketBuilder::PmtSection(1, kVideoPid, {{2, kVideoPid, {}}, {4, kAudioPid, {}}}))) {
        stream.push_back(p);
    }
    // 12,000 packets, a quarter foreign; 50 ms of input clock in all.
    constexpr int kPackets = 12'000;
    constexpr int64_t kPcrStep = kPcrHz / 20 / (kPackets / 10);
    std::vector<int> vExpectedPids;
    uint32_t nMark = 0;
    for (int i = 0; i < kPackets; ++i) {
        Packet packet;
        const uint8_t nCc = uint8_t(i);
        if (i % 10 == 0) {
            packet = CPacketBuilder::Pcr(On(kVideoPid, nCc), (i / 10) * kPcrStep, false, {0x00});
            vExpectedPids.push_back(kOutVideo);
        } else if (i % 4 == 1) {
            packet =
                i % 8 == 1 ? CPacketBuilder::Null() : CPacketBuilder::Payload(On(kPidSdt, nCc));
            stream.push_back(packet);
            continue;
        } else {
            const bool bVideo = i % 2 == 0;
            packet = CPacketBuilder::Payload(On(bVideo ? kVideoPid : kAudioPid, nCc), {0x00});
            vExpectedPids.push_back(bVideo ? kOutVideo : kOutAudio);
        }
        memcpy(&packet[184], &nMark, sizeof(nMark));
        ++nMark;
        stream.push_back(packet);
    }

    CInputModuleIface input;
    input.SetSourceAttribute(_SOURCE_ATTRIBUTE{0, 0, 0});
    std::atomic<bool> bReaderDone{false};
    std::thread reader([&] {
        for (Packet& packet : stream) {
            input.RecvOnePacket(packet.data(), kTsPacketSize);
        }
        input.StreamEnd();
        bReaderDone = true;
    });

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!input.IsReady() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(input.IsReady()) << "never ready";
    // The engine writes the map before its mux thread gathers.
    int* pMap = input.GetPidMapList();
    pMap[kVideoPid] = kOutVideo;
    pMap[kAudioPid] = kOutAudio;

    std::vector<int> vPids;
    std::vector<uint32_t> vMarks;
    std::atomic<bool> bConsumerDone{false};
    std::thread consumer([&] {
        long long llPts = 0;
        long long llDts = 0;
        int nPcrPid = 0;
        while (!input.IsStreamEnd() && std::chrono::steady_clock::now() < deadline) {
            unsigned char* p = input.GetOnePacket(llPts, llDts, nPcrPid);
            if (p == nullptr) {
                std::this_thread::yield();
                continue;
            }
            vPids.push_back(((p[1] & 0x1F) << 8) | p[2]);
            uint32_t nGot = 0;
            memcpy(&nGot, p + 184, sizeof(nGot));
            vMarks.push_back(nGot);
            input.ReleaseBuffer(p);
        }
        bConsumerDone = true;
    });
    consumer.join();
    input.AbortWait(); // a reader left waiting would otherwise never return
    reader.join();
    testing::internal::GetCapturedStdout();

    EXPECT_TRUE(bReaderDone.load());
    EXPECT_TRUE(input.IsStreamEnd()) << "consumer timed out";
    EXPECT_EQ(vPids, vExpectedPids);
    ASSERT_EQ(vMarks.size(), size_t(nMark));
    for (uint32_t n = 0; n < nMark; ++n) {
        ASSERT_EQ(vMarks[n], n);
    }
}
