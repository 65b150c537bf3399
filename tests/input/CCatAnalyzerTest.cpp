#include "input/CCatAnalyzer.h"

#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

using tsb::CPacketBuilder;

namespace {

bool Push(CCatAnalyzer& cat, const std::vector<tsb::Descriptor>& descriptors, uint8_t nVersion,
          uint8_t nCc)
{
    const tsb::Bytes section = CPacketBuilder::CatSection(descriptors, nVersion);
    return cat.Push(CPacketBuilder::Packetize(0x0001, section, nCc)[0].data());
}

} // namespace

TEST(CCatAnalyzerTest, KeepsTheCaDescriptorsOfTheCurrentCat)
{
    CCatAnalyzer cat;
    const tsb::Descriptor emm = CPacketBuilder::CaDescriptor(0x0B00, 0x1F00, {0x42});
    ASSERT_TRUE(Push(cat, {{0x80, {1, 2}}, emm}, 0, 0));
    ASSERT_EQ(cat.GetDescriptors().size(), 1u) << "only CA descriptors";
    EXPECT_EQ(cat.GetDescriptors()[0].vData, emm.data);
    // Its repetition, also after a counter jump, is no change.
    EXPECT_FALSE(Push(cat, {{0x80, {1, 2}}, emm}, 0, 1));
    EXPECT_FALSE(Push(cat, {{0x80, {1, 2}}, emm}, 0, 9));
    // A new version without CA descriptors is: a CAT that names no EMM PID.
    ASSERT_TRUE(Push(cat, {}, 1, 10));
    EXPECT_TRUE(cat.HasCat());
    EXPECT_TRUE(cat.GetDescriptors().empty());
}
