#include "braidmill.h"

#include "io/CUdpTestSocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int kWaitMs = 2000; // a datagram on loopback that takes longer is lost

// Packet n: sync byte, then n in the next four bytes; nothing else matters
// to the sink.
std::vector<uint8_t> Packets(int nFirst, int nCount)
{
    std::vector<uint8_t> v(size_t(nCount) * 188, 0xFF);
    for (int i = 0; i < nCount; ++i) {
        uint8_t* p = v.data() + size_t(i) * 188;
        const int n = nFirst + i;
        p[0] = 0x47;
        p[1] = uint8_t(n >> 24);
        p[2] = uint8_t(n >> 16);
        p[3] = uint8_t(n >> 8);
        p[4] = uint8_t(n);
    }
    return v;
}

int Serial(const uint8_t* p)
{
    return (p[1] << 24) | (p[2] << 16) | (p[3] << 8) | p[4];
}

std::string Url(const char* szScheme, uint16_t nPort, const char* szQuery = "")
{
    return std::string(szScheme) + "://127.0.0.1:" + std::to_string(nPort) + szQuery;
}

// Every datagram until none comes for a while.
std::vector<std::vector<uint8_t>> ReceiveAll(CUdpTestSocket& receiver, int nIdleMs = 300)
{
    std::vector<std::vector<uint8_t>> v;
    for (;;) {
        std::vector<uint8_t> d = receiver.Receive(v.empty() ? kWaitMs : nIdleMs);
        if (d.empty()) {
            return v;
        }
        v.push_back(std::move(d));
    }
}

} // namespace

// 100 packets in uneven batches: 14 whole datagrams as the batches fill
// them, the last 2 packets in a short one at Destroy; one send call per
// batch that completed a datagram.
TEST(COutPutModuleUdpTest, DatagramsOfSevenInOrderAndShortLastAtDestroy)
{
    CUdpTestSocket receiver;
    COutPutModuleUdp sink;
    ASSERT_EQ(sink.Open(Url("udp", receiver.Port()).c_str()), 0) << sink.GetError();
    EXPECT_STREQ(sink.GetError(), "");
    const int vBatches[] = {1, 5, 3, 13, 6, 1, 30, 41};
    int nNext = 0;
    for (int nBatch : vBatches) {
        std::vector<uint8_t> batch = Packets(nNext, nBatch);
        if (nBatch == 1) {
            sink.RenderOnePacket(batch.data());
        } else {
            sink.RenderPackets(batch.data(), nBatch);
        }
        nNext += nBatch;
    }
    ASSERT_EQ(nNext, 100);
    EXPECT_EQ(sink.GetSendCalls(), 5); // the batches after which a datagram was full
    sink.Destroy();

    const auto datagrams = ReceiveAll(receiver);
    ASSERT_EQ(datagrams.size(), 15u);
    int nExpect = 0;
    for (size_t i = 0; i < datagrams.size(); ++i) {
        const size_t nPackets = i + 1 < datagrams.size() ? 7 : 2;
        ASSERT_EQ(datagrams[i].size(), nPackets * 188) << "datagram " << i;
        for (size_t k = 0; k < nPackets; ++k) {
            EXPECT_EQ(Serial(datagrams[i].data() + k * 188), nExpect++);
        }
    }
    EXPECT_EQ(sink.GetDatagramsSent(), 15);
    EXPECT_FALSE(sink.IsBroken());
    sink.Destroy(); // twice is harmless
}

TEST(COutPutModuleUdpTest, PacketsPerDatagramFollowTheUrl)
{
    CUdpTestSocket receiver;
    COutPutModuleUdp sink;
    ASSERT_EQ(sink.Open(Url("udp", receiver.Port(), "?pkts=1").c_str()), 0) << sink.GetError();
    std::vector<uint8_t> batch = Packets(0, 10);
    sink.RenderPackets(batch.data(), 10);
    EXPECT_EQ(sink.GetSendCalls(), 1); // ten datagrams, one call
    sink.Destroy();
    const auto datagrams = ReceiveAll(receiver);
    ASSERT_EQ(datagrams.size(), 10u);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(datagrams[i].size(), 188u);
        EXPECT_EQ(Serial(datagrams[i].data()), i);
    }
}

TEST(COutPutModuleUdpTest, RefusedUrlSaysWhyAndSinkStaysInert)
{
    COutPutModuleUdp sink;
    EXPECT_EQ(sink.Open("udp://127.0.0.1:5000?pkts=8"), -1);
    EXPECT_NE(std::string(sink.GetError()).find("pkts=8"), std::string::npos);
    std::vector<uint8_t> batch = Packets(0, 7);
    sink.RenderPackets(batch.data(), 7); // dropped, not a crash
    sink.Destroy();
    EXPECT_EQ(sink.GetDatagramsSent(), 0);
}

// RTP: version 2, payload type 33, sequence +1 per datagram, timestamp the
// output time of each datagram's first packet at the rate given, one SSRC.
TEST(COutPutModuleUdpTest, RtpHeaderCarriesSequenceAndOutputClock)
{
    CUdpTestSocket receiver;
    COutPutModuleUdp sink;
    ASSERT_EQ(sink.Open(Url("rtp", receiver.Port()).c_str()), 0) << sink.GetError();
    const long long llRate = 5'000'000;
    sink.SetBitRate(llRate);
    for (int i = 0; i < 10; ++i) {
        std::vector<uint8_t> batch = Packets(i * 7, 7);
        sink.RenderPackets(batch.data(), 7);
    }
    sink.Destroy();
    const auto datagrams = ReceiveAll(receiver);
    ASSERT_EQ(datagrams.size(), 10u);
    auto U32 = [](const uint8_t* p) {
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    };
    const uint8_t* pFirst = datagrams[0].data();
    for (size_t i = 0; i < datagrams.size(); ++i) {
        const uint8_t* p = datagrams[i].data();
        ASSERT_EQ(datagrams[i].size(), 12u + 7 * 188);
        EXPECT_EQ(p[0], 0x80) << "version 2, no padding, extension or CSRCs";
        EXPECT_EQ(p[1], 33) << "marker clear, MP2T";
        EXPECT_EQ(uint16_t((p[2] << 8) | p[3]), uint16_t(((pFirst[2] << 8) | pFirst[3]) + i));
        const uint32_t nTicks = U32(p + 4) - U32(pFirst + 4);
        EXPECT_EQ(nTicks, uint32_t(i * 7 * 188 * 8 * 90'000 / llRate)) << "datagram " << i;
        EXPECT_EQ(U32(p + 8), U32(pFirst + 8)) << "SSRC";
        EXPECT_EQ(Serial(p + 12), int(i * 7));
    }
}

// Nobody listens: the refusals are counted and the sink sends on, so a
// receiver that starts late gets the stream from then on.
TEST(COutPutModuleUdpTest, AbsentReceiverIsCountedNotBroken)
{
    const uint16_t nPort = CUdpTestSocket::FreePort();
    COutPutModuleUdp sink;
    ASSERT_EQ(sink.Open(Url("udp", nPort).c_str()), 0) << sink.GetError();
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> batch = Packets(i * 7, 7);
        sink.RenderPackets(batch.data(), 7);
    }
    EXPECT_GT(sink.GetRefused(), 0);
    EXPECT_FALSE(sink.IsBroken());
    sink.Destroy();
}
