#include "mux/CCatWriter.h"

#include "input/CaPids.h"
#include "mux/MuxConstants.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

namespace {

CPmtDescriptor Ca(uint16_t nSystem, int nPid)
{
    return CPmtDescriptor{0x09, {uint8_t(nSystem >> 8), uint8_t(nSystem),
                                 uint8_t(0xE0 | (nPid >> 8)), uint8_t(nPid)}};
}

struct CInput
{
    std::vector<int> vMap = std::vector<int>(kPidCount, -1);
};

} // namespace

TEST(CCatWriterTest, EmmPidsComeFromTheirBlockOnePerInputPidAndStay)
{
    CCatWriter cat;
    std::vector<uint8_t> vUsed(kPidCount, 0);
    CInput first, second;
    EXPECT_TRUE(cat.IsEmpty());
    EXPECT_FALSE(cat.SetInput(1, false, {}, first.vMap.data(), vUsed)) << "no CAT, no change";
    // Two inputs on the same EMM PID, one system twice on one PID.
    ASSERT_TRUE(cat.SetInput(1, true, {Ca(0x0B00, 0x1F00), Ca(0x0B00, 0x1F00)}, first.vMap.data(),
                             vUsed));
    vUsed[kFirstEmmPid + 1] = 1; // a PID the tables took meanwhile
    ASSERT_TRUE(cat.SetInput(2, true, {Ca(0x0100, 0x1F00), Ca(0x0B00, 0x0050)}, second.vMap.data(),
                             vUsed));
    EXPECT_EQ(first.vMap[0x1F00], kFirstEmmPid);
    EXPECT_EQ(second.vMap[0x1F00], kFirstEmmPid + 2);
    EXPECT_EQ(second.vMap[0x0050], kFirstEmmPid + 3);
    const CPmtDescriptorList vOut = cat.GetDescriptors();
    ASSERT_EQ(vOut.size(), 3u) << "the same descriptor said once";
    EXPECT_EQ(CaPidOf(vOut[0]), kFirstEmmPid);
    EXPECT_EQ(CaPidOf(vOut[1]), kFirstEmmPid + 2);
    EXPECT_EQ(vOut[1].vData[0], 0x01) << "CA_system_ID kept";
    // The same CAT again is no change; a PID given stays when the CAT changes.
    EXPECT_FALSE(cat.SetInput(1, true, {Ca(0x0B00, 0x1F00), Ca(0x0B00, 0x1F00)},
                              first.vMap.data(), vUsed));
    ASSERT_TRUE(cat.SetInput(1, true, {Ca(0x0B00, 0x1F01), Ca(0x0B00, 0x1F00)}, first.vMap.data(),
                             vUsed));
    EXPECT_EQ(first.vMap[0x1F00], kFirstEmmPid);
    EXPECT_EQ(first.vMap[0x1F01], kFirstEmmPid + 4);
    // An input whose CAT goes takes its descriptors along.
    EXPECT_TRUE(cat.SetInput(2, false, {}, second.vMap.data(), vUsed));
    EXPECT_EQ(cat.GetDescriptors().size(), 2u);
}

TEST(CCatWriterTest, LastPidOfTheBlockIsGivenThenNoneAndNeverAProgramsPid)
{
    static_assert(kLastEmmPid < kFirstPmtPid, "below every program's block");
    CCatWriter cat;
    std::vector<uint8_t> vUsed(kPidCount, 0);
    std::fill(vUsed.begin() + kFirstEmmPid, vUsed.begin() + kLastEmmPid, uint8_t(1));
    CInput in;
    ASSERT_TRUE(cat.SetInput(1, true, {Ca(1, 0x0100), Ca(2, 0x0101)}, in.vMap.data(), vUsed));
    EXPECT_EQ(in.vMap[0x0100], kLastEmmPid);
    EXPECT_EQ(in.vMap[0x0101], -1) << "the block is full";
    EXPECT_EQ(vUsed[kFirstPmtPid], 0);
    ASSERT_EQ(cat.GetDescriptors().size(), 1u);
    EXPECT_EQ(CaPidOf(cat.GetDescriptors()[0]), kLastEmmPid);
}

TEST(CCatWriterTest, DescriptorsBeyondOneSectionAreLeftOut)
{
    CCatWriter cat;
    std::vector<uint8_t> vUsed(kPidCount, 0);
    CInput in;
    // 12 bytes of section around them; each 2 + 253 bytes: three fit 1,024, four do not.
    CPmtDescriptorList vList;
    for (int i = 0; i < 4; ++i) {
        CPmtDescriptor d = Ca(uint16_t(i), 0x0100 + i);
        d.vData.resize(253, uint8_t(i));
        vList.push_back(d);
    }
    ASSERT_TRUE(cat.SetInput(1, true, vList, in.vMap.data(), vUsed));
    const CPmtDescriptorList vOut = cat.GetDescriptors();
    ASSERT_EQ(vOut.size(), 3u);
    EXPECT_EQ(vOut[2].vData[0], 0x00);
    EXPECT_EQ(vOut[2].vData[1], 0x02) << "in CAT order";
}
