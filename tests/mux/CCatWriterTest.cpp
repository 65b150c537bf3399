#include "mux/CCatWriter.h"

#include "input/CaPids.h"
#include "mux/MuxConstants.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

namespace {

CPmtDescriptor Ca(uint16_t nSystem, int nPid, size_t nBytes = 4)
{
    CPmtDescriptor d{0x09, {uint8_t(nSystem >> 8), uint8_t(nSystem), uint8_t(0xE0 | (nPid >> 8)),
                            uint8_t(nPid)}};
    d.vData.resize(nBytes, 0x77);
    return d;
}

} // namespace

TEST(CCatWriterTest, EmmPidsComeFromTheirBlockOnePerInputPidAndStay)
{
    CCatWriter cat;
    std::vector<uint8_t> vUsed(kPidCount, 0);
    std::vector<int> vFirst(kPidCount, -1), vSecond(kPidCount, -1);
    const CPmtDescriptorList vOne{Ca(0x0B00, 0x1F00), Ca(0x0B00, 0x1F00)};
    ASSERT_TRUE(cat.SetInput(1, true, vOne, vFirst.data(), vUsed));
    vUsed[kFirstEmmPid + 1] = 1; // taken by the tables meanwhile
    ASSERT_TRUE(cat.SetInput(2, true, {Ca(0x0100, 0x1F00)}, vSecond.data(), vUsed));
    EXPECT_EQ(vFirst[0x1F00], kFirstEmmPid);
    EXPECT_EQ(vSecond[0x1F00], kFirstEmmPid + 2) << "the same input PID of another input";
    ASSERT_EQ(cat.GetDescriptors().size(), 2u) << "one system on one PID said once";
    EXPECT_EQ(CaPidOf(cat.GetDescriptors()[1]), kFirstEmmPid + 2);
    EXPECT_FALSE(cat.SetInput(1, true, vOne, vFirst.data(), vUsed));
    // A PID given stays; an input whose CAT goes takes its descriptors along.
    ASSERT_TRUE(cat.SetInput(1, true, {Ca(0x0B00, 0x1F01), vOne[0]}, vFirst.data(), vUsed));
    EXPECT_EQ(vFirst[0x1F00], kFirstEmmPid);
    EXPECT_TRUE(cat.SetInput(2, false, {}, vSecond.data(), vUsed));
    EXPECT_EQ(cat.GetDescriptors().size(), 2u);
}

TEST(CCatWriterTest, BlockEndsBelowTheFirstProgramAndTheSectionAt1024Bytes)
{
    CCatWriter cat;
    std::vector<uint8_t> vUsed(kPidCount, 0);
    std::fill(vUsed.begin() + kFirstEmmPid, vUsed.begin() + kLastEmmPid, uint8_t(1));
    std::vector<int> vMap(kPidCount, -1);
    ASSERT_TRUE(cat.SetInput(1, true, {Ca(1, 0x0100), Ca(2, 0x0101)}, vMap.data(), vUsed));
    EXPECT_EQ(vMap[0x0100], kFirstPmtPid - 1) << "the last of the block";
    EXPECT_EQ(vMap[0x0101], -1) << "none left: left out";
    EXPECT_EQ(cat.GetDescriptors().size(), 1u);
    // 12 bytes around the loop; descriptors of 255 bytes: three fit, a fourth not.
    std::fill(vUsed.begin(), vUsed.end(), uint8_t(0));
    ASSERT_TRUE(cat.SetInput(1, true, {Ca(1, 0x100, 253), Ca(2, 0x101, 253), Ca(3, 0x102, 253),
                                       Ca(4, 0x103, 253)},
                             vMap.data(), vUsed));
    ASSERT_EQ(cat.GetDescriptors().size(), 3u);
    EXPECT_EQ(cat.GetDescriptors()[2].vData[1], 3) << "in CAT order";
}
