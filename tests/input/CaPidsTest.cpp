#include "input/CaPids.h"

#include "input/CInputTables.h"

#include <gtest/gtest.h>

namespace {

CPmtDescriptor Ca(uint16_t nSystem, int nPid, std::vector<uint8_t> vPrivate = {})
{
    CPmtDescriptor d{0x09, {uint8_t(nSystem >> 8), uint8_t(nSystem), uint8_t(0xE0 | (nPid >> 8)),
                            uint8_t(nPid)}};
    for (uint8_t nByte : vPrivate) {
        d.vData.push_back(nByte);
    }
    return d;
}

} // namespace

TEST(CaPidsTest, CaPidWalksEveryBitAndKeepsItsNeighbours)
{
    for (int nBit = 0; nBit < 13; ++nBit) {
        CPmtDescriptor d = Ca(0xABCD, 0x1FFF, {0x5A});
        d.vData[2] = 0x1F; // reserved bits clear: they must stay as found
        ASSERT_TRUE(SetCaPid(d, 1 << nBit));
        EXPECT_EQ(CaPidOf(d), 1 << nBit);
        EXPECT_EQ(d.vData[2] & 0xE0, 0);
        EXPECT_EQ(d.vData[0], 0xAB);
        EXPECT_EQ(d.vData[1], 0xCD);
        EXPECT_EQ(d.vData[4], 0x5A) << "private data";
    }
    CPmtDescriptor d = Ca(0x0100, 0x0123);
    EXPECT_EQ(CaPidOf(d), 0x0123);
    EXPECT_EQ(d.vData[2] & 0xE0, 0xE0);
    // Not a CA descriptor, or a body without a CA_PID: none, nothing changed.
    CPmtDescriptor language{0x0A, {'d', 'e', 'u', 0}};
    CPmtDescriptor shortCa{0x09, {0x01, 0x00, 0xE1}};
    EXPECT_EQ(CaPidOf(language), -1);
    EXPECT_EQ(CaPidOf(shortCa), -1);
    EXPECT_FALSE(SetCaPid(language, 0x100));
    EXPECT_FALSE(SetCaPid(shortCa, 0x100));
    EXPECT_EQ(shortCa.vData, (std::vector<uint8_t>{0x01, 0x00, 0xE1}));
}

TEST(CaPidsTest, RewriteLeavesOutWhatNamesNoCarriablePid)
{
    CPmtDescriptorList vList{Ca(1, 0x0101), {0x0A, {'e', 'n', 'g', 0}}, Ca(2, 0x0010),
                             Ca(3, 0x1FFF), Ca(4, 0x0020), Ca(5, 0x0666)};
    EXPECT_EQ(CaPidsOf(vList), (std::vector<int>{0x0020, 0x0101, 0x0666}));
    const int nLeftOut = RewriteCaPids(vList, [](int nPid) { return nPid == 0x0666 ? -1 : nPid + 1; });
    EXPECT_EQ(nLeftOut, 3) << "an SI PID, the null PID, one without an output PID";
    ASSERT_EQ(vList.size(), 3u);
    EXPECT_EQ(CaPidOf(vList[0]), 0x0102);
    EXPECT_EQ(vList[1].nTag, 0x0A) << "other descriptors stay, in place";
    EXPECT_EQ(CaPidOf(vList[2]), 0x0021);
}

TEST(CaPidsTest, TablesNameEcmPidsOfEveryLoopAndEmmPidsOfTheCat)
{
    CInputTables tables;
    CProgramDescriptors first;
    first.vProgramInfo = {Ca(1, 0x0300)};
    first.vEs = {{Ca(2, 0x0301)}, {}};
    CProgramDescriptors second;
    second.vEs = {{Ca(1, 0x0300)}}; // an ECM PID two programs share
    tables.vDescriptors = {first, second};
    tables.vCat = {Ca(1, 0x1F00), Ca(2, 0x0301)};
    EXPECT_EQ(tables.CaPids(), (std::vector<int>{0x0300, 0x0301, 0x1F00}));
    EXPECT_EQ(EcmPidsOf(second), (std::vector<int>{0x0300}));
    EXPECT_TRUE(HasCaDescriptors(second));
    EXPECT_FALSE(HasCaDescriptors(CProgramDescriptors{}));
}
