#include "input/CaPids.h"

#include <gtest/gtest.h>

TEST(CaPidsTest, CaPidWalksEveryBitAndKeepsItsNeighbours)
{
    for (int nBit = 0; nBit < 13; ++nBit) {
        CPmtDescriptor d{0x09, {0xAB, 0xCD, 0x1F, 0xFF, 0x5A}}; // reserved bits clear
        ASSERT_TRUE(SetCaPid(d, 1 << nBit));
        EXPECT_EQ(CaPidOf(d), 1 << nBit);
        EXPECT_EQ(d.vData, (std::vector<uint8_t>{0xAB, 0xCD, uint8_t((1 << nBit) >> 8),
                                                 uint8_t(1 << nBit), 0x5A}));
    }
    // Another tag, or a body without a CA_PID: none, and nothing changed.
    CPmtDescriptor shortCa{0x09, {0x01, 0x00, 0xE1}};
    EXPECT_EQ(CaPidOf(CPmtDescriptor{0x0A, {0x01, 0x00, 0xE1, 0x00}}), -1);
    EXPECT_FALSE(SetCaPid(shortCa, 0x100));
    EXPECT_EQ(shortCa.vData.size(), 3u);
}
