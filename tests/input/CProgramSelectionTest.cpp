#include "input/CProgramSelection.h"

#include <gtest/gtest.h>

namespace {

// Programs 1 and 2 with PMTs, 3 in the PAT without one yet.
CInputTables Tables()
{
    CInputTables tables;
    for (int nNumber : {1, 2}) {
        tables.vPrograms.push_back(_PROGRAM_INFO{0x100 * nNumber, 0x20 + nNumber, {}});
        tables.vDescriptors.emplace_back();
        tables.vDescriptors.back().nProgramNumber = nNumber;
    }
    tables.vMissing.push_back(CInputTables::CMissing{3, 0x23});
    return tables;
}

} // namespace

TEST(CProgramSelectionTest, KeepsTheChosenProgramsAloneAndListsThoseThePatLacks)
{
    CProgramSelection all;
    CInputTables untouched = Tables();
    all.Apply(untouched);
    EXPECT_EQ(untouched.vPrograms.size(), 2u);
    EXPECT_EQ(untouched.vMissing.size(), 1u);
    EXPECT_TRUE(untouched.vAbsent.empty());

    CProgramSelection chosen;
    chosen.Choose({2, 3, 9});
    CInputTables tables = Tables();
    chosen.Apply(tables);
    ASSERT_EQ(tables.vPrograms.size(), 1u);
    EXPECT_EQ(tables.vPrograms[0].nPcrPid, 0x200) << "the descriptors' program, in step";
    EXPECT_EQ(tables.vDescriptors[0].nProgramNumber, 2);
    ASSERT_EQ(tables.vMissing.size(), 1u) << "a chosen PMT still awaited";
    EXPECT_EQ(tables.vAbsent, std::vector<int>{9});
    EXPECT_FALSE(chosen.Keeps(1));
}
