#include "mux/CPcrPidChoice.h"

#include "ts/TsConstants.h"

#include <gtest/gtest.h>

TEST(CPcrPidChoiceTest, PcrsMoveToAStreamOnlyWhereThePcrPidNamedCarriesNone)
{
    CPcrPidChoice choice(100);
    choice.SetPcrPid(0, kPidNull, 0); // the PMT names none
    choice.SetPcrPid(1, 0x200, 0);    // names one
    choice.SetPcrPid(2, 0x200, 0);    // ... the same
    EXPECT_TRUE(choice.IsPcrPidOfOther(0x200, 1));
    // None named: the first PCR of the program's own takes over at once.
    EXPECT_EQ(choice.OnPcr(0, 0x101, 5), 0x101);
    EXPECT_EQ(choice.OnPcr(0, 0x102, 50), -1) << "the new one carries PCRs: it stays";
    // Named but silent since it was named: a stream takes over after 100 slots.
    EXPECT_EQ(choice.OnPcr(1, 0x201, 99), -1);
    EXPECT_EQ(choice.OnPcr(1, 0x201, 100), 0x201);
    EXPECT_FALSE(choice.IsPcrPidOfOther(0x200, 2));
    // PCRs back on the PID named move nothing while the stream carries its own.
    EXPECT_EQ(choice.OnPcr(1, 0x200, 150), -1);
    EXPECT_EQ(choice.OnPcr(1, 0x201, 160), -1);
    EXPECT_EQ(choice.OnPcr(1, 0x200, 260), 0x200) << "the stream silent for 100 slots";
    // Named again, the same PID keeps its silence; a new one gets its time.
    choice.SetPcrPid(2, 0x200, 500);
    EXPECT_EQ(choice.OnPcr(2, 0x202, 500), 0x202);
    choice.SetPcrPid(0, 0x300, 500);
    EXPECT_EQ(choice.OnPcr(0, 0x101, 599), -1);
    EXPECT_EQ(choice.GetPcrPid(0), 0x300);
    EXPECT_EQ(choice.OnPcr(7, 0x301, 600), -1) << "a program never named";
}
