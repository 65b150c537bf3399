#include "ts/PidMap.h"

#include <gtest/gtest.h>

#include <vector>

TEST(PidMapTest, RemapWritesEveryPidBitAndKeepsTheFlagsBesideIt)
{
    std::vector<int> vMap(kPidCount, -1);
    for (int nBit = 0; nBit < 13; ++nBit) {
        const int nIn = 0x0100 ^ (1 << nBit);
        vMap[size_t(nIn)] = 1 << nBit;
        // TEI, PUSI and priority all set, then none.
        for (const uint8_t nFlags : {uint8_t(0xE0), uint8_t(0x00)}) {
            uint8_t v[kTsPacketSize] = {kSyncByte, uint8_t(nFlags | (nIn >> 8)), uint8_t(nIn),
                                        0x1A};
            EXPECT_EQ(RemapPid(vMap.data(), v), 1 << nBit);
            EXPECT_EQ(CTsPacket::PidOf(v), 1 << nBit);
            EXPECT_EQ(v[1] & 0xE0, nFlags);
            EXPECT_EQ(v[3], 0x1A);
        }
    }
}

TEST(PidMapTest, UntranslatedPidLeavesOnTheNullPid)
{
    const std::vector<int> vMap(kPidCount, -1);
    uint8_t v[kTsPacketSize] = {kSyncByte, 0x41, 0x00, 0x10};
    EXPECT_EQ(MapPid(vMap.data(), v), kPidNull);
    EXPECT_EQ(RemapPid(vMap.data(), v), kPidNull);
    EXPECT_EQ(v[1], 0x5F); // PUSI kept
    EXPECT_EQ(v[2], 0xFF);
}
