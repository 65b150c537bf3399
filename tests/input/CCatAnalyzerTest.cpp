#include "input/CCatAnalyzer.h"

#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

using tsb::CPacketBuilder;

namespace {

// The CAT's packets from counter nCc on.
std::vector<tsb::Packet> Cat(const std::vector<tsb::Descriptor>& descriptors, uint8_t nVersion,
                             uint8_t nCc)
{
    return CPacketBuilder::Packetize(0x0001, CPacketBuilder::CatSection(descriptors, nVersion), nCc);
}

bool PushAll(CCatAnalyzer& cat, const std::vector<tsb::Packet>& vPackets)
{
    bool bChanged = false;
    for (const tsb::Packet& packet : vPackets) {
        bChanged = cat.Push(packet.data()) || bChanged;
    }
    return bChanged;
}

} // namespace

TEST(CCatAnalyzerTest, KeepsTheCaDescriptorsOfTheCurrentCat)
{
    CCatAnalyzer cat;
    EXPECT_FALSE(cat.HasCat());
    const tsb::Descriptor emm = CPacketBuilder::CaDescriptor(0x0B00, 0x1F00, {0x42});
    const tsb::Descriptor other{0x80, {1, 2}};
    ASSERT_TRUE(PushAll(cat, Cat({other, emm}, 0, 0)));
    ASSERT_TRUE(cat.HasCat());
    ASSERT_EQ(cat.GetDescriptors().size(), 1u) << "only CA descriptors";
    EXPECT_EQ(cat.GetDescriptors()[0].vData, emm.data);
    // The same table again (its repetition, or after a counter jump) is no change.
    EXPECT_FALSE(PushAll(cat, Cat({other, emm}, 0, 1)));
    EXPECT_FALSE(PushAll(cat, Cat({other, emm}, 0, 9)));
    // A new version with another EMM PID, then one without CA descriptors.
    ASSERT_TRUE(PushAll(cat, Cat({CPacketBuilder::CaDescriptor(0x0B00, 0x1F01)}, 1, 10)));
    EXPECT_EQ(cat.GetDescriptors()[0].vData[3], 0x01);
    ASSERT_TRUE(PushAll(cat, Cat({}, 2, 11)));
    EXPECT_TRUE(cat.HasCat());
    EXPECT_TRUE(cat.GetDescriptors().empty());
}
