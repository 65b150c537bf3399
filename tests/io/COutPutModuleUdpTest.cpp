#include "braidmill.h"

#include "io/CIoTestKit.h"

#include <gtest/gtest.h>

namespace {

using iokit::CUdpTestSocket;
using Datagrams = std::vector<std::vector<uint8_t>>;

// Packet n: sync byte, then n in the next four bytes; the sink never looks
// further.
std::vector<uint8_t> Packets(int nFirst, int nCount)
{
    std::vector<uint8_t> v(size_t(nCount) * 188, 0xFF);
    for (int i = 0; i < nCount; ++i) {
        uint8_t* p = v.data() + size_t(i) * 188;
        const uint32_t n = uint32_t(nFirst + i);
        p[0] = 0x47;
        p[1] = uint8_t(n >> 24);
        p[2] = uint8_t(n >> 16);
        p[3] = uint8_t(n >> 8);
        p[4] = uint8_t(n);
    }
    return v;
}

uint32_t U32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A sink sending to a receiver on loopback.
class COutPutModuleUdpTest : public ::testing::Test
{
protected:
    void Open(const char* szScheme, const char* szQuery = "")
    {
        const std::string sUrl = std::string(szScheme) + "://127.0.0.1:" +
                                 std::to_string(m_receiver.Port()) + szQuery;
        ASSERT_EQ(m_sink.Open(sUrl.c_str()), 0) << m_sink.GetError();
    }

    void Render(int nFirst, int nCount)
    {
        std::vector<uint8_t> batch = Packets(nFirst, nCount);
        m_sink.RenderPackets(batch.data(), nCount);
    }

    // Every datagram until none comes for a while.
    Datagrams ReceiveAll()
    {
        Datagrams v;
        for (std::vector<uint8_t> d; !(d = m_receiver.Receive(v.empty() ? 2000 : 200)).empty();) {
            v.push_back(std::move(d));
        }
        return v;
    }

    CUdpTestSocket m_receiver;
    COutPutModuleUdp m_sink;
};

} // namespace

// 100 packets in uneven batches: 14 whole datagrams as the batches fill
// them, one send call per batch that filled any; the last 2 packets in a
// short one at Destroy.
TEST_F(COutPutModuleUdpTest, DatagramsOfSevenInOrderAndShortLastAtDestroy)
{
    Open("udp");
    int nNext = 0;
    for (int nBatch : {1, 5, 3, 13, 6, 1, 30, 41}) {
        if (nBatch == 1) {
            m_sink.RenderOnePacket(Packets(nNext, 1).data());
        } else {
            Render(nNext, nBatch);
        }
        nNext += nBatch;
    }
    EXPECT_EQ(m_sink.GetSendCalls(), 5);
    m_sink.Destroy();
    m_sink.Destroy(); // twice is harmless

    const Datagrams datagrams = ReceiveAll();
    ASSERT_EQ(datagrams.size(), 15u);
    uint32_t nExpect = 0;
    for (size_t i = 0; i < datagrams.size(); ++i) {
        const size_t nPackets = i + 1 < datagrams.size() ? 7 : 2;
        ASSERT_EQ(datagrams[i].size(), nPackets * 188) << "datagram " << i;
        for (size_t k = 0; k < nPackets; ++k) {
            EXPECT_EQ(U32(datagrams[i].data() + k * 188 + 1), nExpect++);
        }
    }
    EXPECT_FALSE(m_sink.IsBroken());
}

TEST_F(COutPutModuleUdpTest, OnePacketPerDatagramStillOneCallPerBatch)
{
    Open("udp", "?pkts=1");
    Render(0, 10);
    EXPECT_EQ(m_sink.GetSendCalls(), 1);
    m_sink.Destroy();
    const Datagrams datagrams = ReceiveAll();
    ASSERT_EQ(datagrams.size(), 10u);
    for (uint32_t i = 0; i < 10; ++i) {
        ASSERT_EQ(datagrams[i].size(), 188u);
        EXPECT_EQ(U32(datagrams[i].data() + 1), i);
    }
}

// RTP: version 2, payload type 33, sequence +1 per datagram, timestamp the
// output time of each datagram's first packet at the rate given, one SSRC.
TEST_F(COutPutModuleUdpTest, RtpHeaderCarriesSequenceAndOutputClock)
{
    Open("rtp");
    const long long llRate = 5'000'000;
    m_sink.SetBitRate(llRate);
    for (int i = 0; i < 10; ++i) {
        Render(i * 7, 7);
    }
    m_sink.Destroy();
    const Datagrams datagrams = ReceiveAll();
    ASSERT_EQ(datagrams.size(), 10u);
    const uint8_t* pFirst = datagrams[0].data();
    for (size_t i = 0; i < datagrams.size(); ++i) {
        const uint8_t* p = datagrams[i].data();
        ASSERT_EQ(datagrams[i].size(), 12u + 7 * 188);
        EXPECT_EQ(p[0], 0x80) << "version 2, no padding, extension or CSRCs";
        EXPECT_EQ(p[1], 33) << "marker clear, MP2T";
        EXPECT_EQ(uint16_t((p[2] << 8) | p[3]), uint16_t(((pFirst[2] << 8) | pFirst[3]) + i));
        EXPECT_EQ(U32(p + 4) - U32(pFirst + 4), uint32_t(i * 7 * 188 * 8 * 90'000 / llRate));
        EXPECT_EQ(U32(p + 8), U32(pFirst + 8)) << "SSRC";
        EXPECT_EQ(U32(p + 13), uint32_t(i * 7));
    }
}

// A run whose last datagram is the short one sends it at Destroy with the
// next sequence number and the output time of its first packet, and nothing
// after it.
TEST_F(COutPutModuleUdpTest, ShortLastRtpDatagramAtDestroyAndNothingAfter)
{
    Open("rtp");
    const long long llRate = 5'000'000;
    m_sink.SetBitRate(llRate);
    Render(0, 10);
    m_sink.Destroy();
    Render(10, 7); // too late: dropped
    const Datagrams datagrams = ReceiveAll();
    ASSERT_EQ(datagrams.size(), 2u);
    const uint8_t* pFirst = datagrams[0].data();
    const uint8_t* p = datagrams[1].data();
    ASSERT_EQ(datagrams[1].size(), 12u + 3 * 188);
    EXPECT_EQ(p[0], 0x80);
    EXPECT_EQ(uint16_t((p[2] << 8) | p[3]), uint16_t(((pFirst[2] << 8) | pFirst[3]) + 1));
    EXPECT_EQ(U32(p + 4) - U32(pFirst + 4), uint32_t(7 * 188 * 8 * 90'000 / llRate));
    for (uint32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(U32(p + 12 + k * 188 + 1), 7 + k);
    }
}

// Nobody listens: the refusals are counted and the sink sends on, so a
// receiver that starts late gets the stream from then on.
TEST(COutPutModuleUdpRefusedTest, AbsentReceiverIsCountedNotBroken)
{
    COutPutModuleUdp sink;
    const std::string sUrl = "udp://127.0.0.1:" + std::to_string(CUdpTestSocket::FreePort());
    ASSERT_EQ(sink.Open(sUrl.c_str()), 0) << sink.GetError();
    for (int i = 0; i < 20; ++i) {
        sink.RenderPackets(Packets(i * 7, 7).data(), 7);
    }
    EXPECT_GT(sink.GetRefused(), 0);
    EXPECT_FALSE(sink.IsBroken());
    sink.Destroy();
}
