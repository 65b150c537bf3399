#include "io/CLoopMarker.h"

#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

namespace {

using tsb::CPacketBuilder;

TEST(CLoopMarkerTest, FirstPassAndNullPacketsAreLeftAlone)
{
    CLoopMarker marker;
    tsb::Packet packet = CPacketBuilder::Pcr({0x100, 3}, 27'000, false, {1, 2});
    const tsb::Packet before = packet;
    uint8_t vExtra[188];
    EXPECT_FALSE(marker.Mark(packet.data(), vExtra));
    EXPECT_EQ(packet, before);
    marker.StartPass();
    tsb::Packet null = CPacketBuilder::Null();
    EXPECT_FALSE(marker.Mark(null.data(), vExtra));
    EXPECT_EQ(null, CPacketBuilder::Null());
}

TEST(CLoopMarkerTest, LaterPassFlagsTheFirstAdaptationFieldOfEachPidOnce)
{
    CLoopMarker marker;
    marker.StartPass();
    tsb::Packet first = CPacketBuilder::Pcr({0x100, 3}, 27'000, false, {1, 2});
    tsb::Packet second = CPacketBuilder::Pcr({0x100, 4}, 54'000, false, {1, 2});
    const tsb::Packet secondBefore = second;
    uint8_t vExtra[188];
    EXPECT_FALSE(marker.Mark(first.data(), vExtra));
    EXPECT_EQ(first[5] & 0x80, 0x80);
    EXPECT_EQ(first[5] & 0x7F, 0x10); // the PCR flag survives
    EXPECT_FALSE(marker.Mark(second.data(), vExtra));
    EXPECT_EQ(second, secondBefore);
}

// Without an adaptation field (or with one of length 0) the flag has no
// place: an adaptation-only packet carries it, its counter one below, so the
// packet after it continues without a gap.
TEST(CLoopMarkerTest, PayloadOnlyPidGetsAnAdaptationOnlyPacketBeforeIt)
{
    for (uint8_t nCc : {uint8_t(0), uint8_t(9)}) {
        CLoopMarker marker;
        marker.StartPass();
        tsb::Header h{0x0ABC, nCc};
        h.nScrambling = 2;
        tsb::Packet packet = CPacketBuilder::Payload(h, {0xAA});
        const tsb::Packet before = packet;
        uint8_t vExtra[188];
        ASSERT_TRUE(marker.Mark(packet.data(), vExtra));
        EXPECT_EQ(packet, before);
        EXPECT_EQ(vExtra[0], 0x47);
        EXPECT_EQ(((vExtra[1] & 0x1F) << 8) | vExtra[2], 0x0ABC);
        EXPECT_EQ(vExtra[1] & 0xE0, 0); // no PUSI, no error flag
        EXPECT_EQ(vExtra[3], 0x20 | ((nCc + 15) & 0x0F));
        EXPECT_EQ(vExtra[4], 183);
        EXPECT_EQ(vExtra[5], 0x80);

        tsb::Packet empty = CPacketBuilder::AdaptationOnly({0x0ABD, 5}, 0);
        empty[3] |= 0x10;
        EXPECT_TRUE(marker.Mark(empty.data(), vExtra));
    }
}

} // namespace
