#include "input/CContinuityCount.h"

#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

using tsb::CPacketBuilder;
using tsb::Packet;

namespace {

constexpr uint16_t kPid = 0x100;

Packet WithCc(uint8_t nCc, uint8_t nByte = 0x11)
{
    return CPacketBuilder::Payload({kPid, nCc}, {nByte});
}

} // namespace

TEST(CContinuityCountTest, CountsGapsAndNotTheWrap)
{
    CContinuityCount count;
    for (int n = 0; n < 20; ++n) { // through 15 -> 0
        EXPECT_TRUE(count.Count(WithCc(uint8_t(n & 0x0F)).data(), kPid)) << n;
    }
    EXPECT_FALSE(count.Count(WithCc(6).data(), kPid)); // 4 expected
    EXPECT_TRUE(count.Count(WithCc(7).data(), kPid));  // continues from the gap
    EXPECT_EQ(count.GetErrors(), 1);
}

// A packet with payload may come twice in a row, whole: the second is no
// error. A third copy, or a repeated counter with other bytes, is one.
TEST(CContinuityCountTest, TakesOneWholeDuplicateOnly)
{
    CContinuityCount count;
    EXPECT_TRUE(count.Count(WithCc(3).data(), kPid));
    EXPECT_TRUE(count.Count(WithCc(3).data(), kPid));
    EXPECT_FALSE(count.Count(WithCc(3).data(), kPid)); // a third time
    EXPECT_EQ(count.GetErrors(), 1);
    EXPECT_TRUE(count.Count(WithCc(4).data(), kPid));
    EXPECT_FALSE(count.Count(WithCc(4, 0x22).data(), kPid)); // not the same packet
    EXPECT_EQ(count.GetErrors(), 2);
    EXPECT_TRUE(count.Count(WithCc(5).data(), kPid));
}

TEST(CContinuityCountTest, DuplicateMayCarryAnotherPcr)
{
    CContinuityCount count;
    EXPECT_TRUE(count.Count(CPacketBuilder::Pcr({kPid, 9}, 1000, false, {0x11}).data(), kPid));
    EXPECT_TRUE(count.Count(CPacketBuilder::Pcr({kPid, 9}, 5000, false, {0x11}).data(), kPid));
    EXPECT_FALSE(count.Count(CPacketBuilder::Pcr({kPid, 9}, 5000, false, {0x12}).data(), kPid));
    EXPECT_EQ(count.GetErrors(), 1);
}

// Without payload the counter repeats as often as it likes; a discontinuity
// sets the counter the next payload continues from.
TEST(CContinuityCountTest, PacketsWithoutPayloadAndDiscontinuities)
{
    CContinuityCount count;
    EXPECT_TRUE(count.Count(WithCc(1).data(), kPid));
    for (int n = 0; n < 3; ++n) {
        EXPECT_TRUE(count.Count(CPacketBuilder::Pcr({kPid, 1}, 1000 * n).data(), kPid));
    }
    EXPECT_TRUE(count.Count(CPacketBuilder::Pcr({kPid, 7}, 9000, true).data(), kPid));
    EXPECT_TRUE(count.Count(WithCc(8).data(), kPid));
    EXPECT_TRUE(count.Count(CPacketBuilder::Pcr({kPid, 0}, 9000, true, {0x11}).data(), kPid));
    EXPECT_TRUE(count.Count(WithCc(1).data(), kPid));
    EXPECT_TRUE(count.Count(WithCc(5).data(), 0x101)); // another PID starts anywhere
    EXPECT_EQ(count.GetErrors(), 0);
}
