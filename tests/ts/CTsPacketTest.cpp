#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"

#include <gtest/gtest.h>

using tsb::CPacketBuilder;

TEST(CTsPacketTest, NullPacketReadsAsPayloadOnly)
{
    tsb::Packet pkt = CPacketBuilder::Null();
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    EXPECT_EQ(packet.GetPid(), 0x1FFF);
    EXPECT_EQ(packet.GetAdaptationFieldControl(), 1);
    EXPECT_EQ(packet.GetContinuityCounter(), 0);
    uint8_t nLen = 0;
    EXPECT_EQ(packet.GetPayload(nLen), pkt.data() + 4);
    EXPECT_EQ(nLen, 184);
    EXPECT_FALSE(packet.HasPcr());
    EXPECT_EQ(packet.GetPcr(), -1);
}

TEST(CTsPacketTest, PcrReadsMaximumAndWritesOneSecond)
{
    tsb::Header h;
    h.nPid = 0x100;
    tsb::Packet pkt = CPacketBuilder::Pcr(h, 0);
    const uint8_t vMax[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x2B};
    std::copy(std::begin(vMax), std::end(vMax), pkt.begin() + 6);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    EXPECT_TRUE(packet.HasPcr());
    EXPECT_EQ(packet.GetPcr(), 2'576'980'377'599);

    packet.SetPcr(27'000'000);
    const uint8_t vOneSecond[] = {0x00, 0x00, 0xAF, 0xC8, 0x7E, 0x00};
    EXPECT_TRUE(std::equal(std::begin(vOneSecond), std::end(vOneSecond), pkt.begin() + 6));
    EXPECT_EQ(packet.GetPcr(), 27'000'000);
}

TEST(CTsPacketTest, PesStartGivesPtsAndDts)
{
    tsb::Header h;
    h.nPid = 0x101;
    tsb::Packet pkt = CPacketBuilder::PesStart(h, 0xE0, 90'000, 81'000);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    uint8_t nId = 0;
    ASSERT_TRUE(packet.GetStreamId(nId));
    EXPECT_EQ(nId, 0xE0);
    int64_t nPts = 0;
    int64_t nDts = 0;
    ASSERT_TRUE(packet.GetPts(nPts));
    ASSERT_TRUE(packet.GetDts(nDts));
    EXPECT_EQ(nPts, 90'000);
    EXPECT_EQ(nDts, 81'000);
    const uint8_t vPts[] = {0x31, 0x00, 0x05, 0xBF, 0x21};
    EXPECT_TRUE(std::equal(std::begin(vPts), std::end(vPts), pkt.begin() + 4 + 9));
}
