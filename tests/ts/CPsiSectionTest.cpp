#include "support/CPacketBuilder.h"
#include "ts/CPsiSection.h"
#include "ts/CTsPacket.h"

#include <gtest/gtest.h>

using tsb::CPacketBuilder;

TEST(CPsiSectionTest, Crc32MatchesKnownCheckValue)
{
    const unsigned char szCheck[] = "123456789";
    EXPECT_EQ(Crc32Mpeg(szCheck, 9), 0x0376E6E7u);
}

TEST(CPsiSectionTest, BuiltPatReadsBackFromPacket)
{
    tsb::Bytes pat = CPacketBuilder::PatSection(0x1234, {{0, 0x10}, {1, 0x100}}, 5);
    auto packets = CPacketBuilder::Packetize(0, pat);
    ASSERT_EQ(packets.size(), 1u);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(packets[0].data()));
    CPsiSection section;
    ASSERT_TRUE(section.SetData(packet));
    EXPECT_EQ(section.GetTableId(), 0x00);
    EXPECT_TRUE(section.GetSectionSyntaxIndicator());
    EXPECT_EQ(section.GetSectionLength(), 5 + 8 + 4);
    EXPECT_EQ(section.GetTableIdExtension(), 0x1234);
    EXPECT_EQ(section.GetVersionNumber(), 5);
    EXPECT_TRUE(section.GetCurrentNextIndicator());
    EXPECT_TRUE(section.IsComplete());
    EXPECT_TRUE(section.CheckCrc32());
    int nBody = 0;
    const unsigned char* pBody = section.GetBody(nBody);
    ASSERT_NE(pBody, nullptr);
    EXPECT_EQ(nBody, 8);
    EXPECT_EQ(pBody[2], 0xE0);
    EXPECT_EQ(pBody[3], 0x10);
}
