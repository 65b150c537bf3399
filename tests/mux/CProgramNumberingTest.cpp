#include "mux/CProgramNumbering.h"

#include "input/CaPids.h"
#include "mux/MuxConstants.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using CGiven = CProgramNumbering::CGiven;

// Program nNumber of an input: PCR on its first stream, streams from nFirstPid on.
struct CInProgram
{
    _PROGRAM_INFO info;
    CProgramDescriptors descriptors;
};
CInProgram Program(int nNumber, int nFirstPid, int nStreams)
{
    CInProgram p{_PROGRAM_INFO{nFirstPid, 0x20 + nNumber, {}}, CProgramDescriptors()};
    for (int k = 0; k < nStreams; ++k) {
        p.info.vecEsInfo.push_back(_ES_INFO{nFirstPid + k, 0x06});
    }
    p.descriptors.nProgramNumber = nNumber;
    return p;
}

class CProgramNumberingTest : public ::testing::Test
{
protected:
    CGiven Number(int nInput, const CInProgram& p)
    {
        return m_numbering.Number(nInput, p.info, &p.descriptors, m_vMaps[size_t(nInput)].data(),
                                  "input program");
    }

    CProgramNumbering m_numbering;
    std::vector<std::vector<int>> m_vMaps =
        std::vector<std::vector<int>>(3, std::vector<int>(kPidCount, -1)); // per input
};

} // namespace

// A stream that comes later to a program of more than eight streams stays in
// the PIDs its program ran on over, up to the next program's block; only past
// that does it take one from the top of the PID space.
TEST_F(CProgramNumberingTest, LaterStreamOfALongProgramStaysBeforeTheNextBlockThenGoesToTheTop)
{
    ASSERT_EQ(Number(1, Program(1, 0x100, 10)).kind, CGiven::kNumbered); // 1013 ... 1022
    ASSERT_EQ(Number(1, Program(2, 0x200, 1)).program.nPmtPid, 1031);
    const CGiven grown = Number(1, Program(1, 0x100, 19));
    ASSERT_EQ(grown.kind, CGiven::kNumbered);
    EXPECT_FALSE(grown.bNew);
    EXPECT_EQ(m_vMaps[1][0x109], 1022) << "what was given stays";
    EXPECT_EQ(m_vMaps[1][0x10A], 1023);
    EXPECT_EQ(m_vMaps[1][0x111], 1030) << "the last PID before the next block";
    EXPECT_EQ(m_vMaps[1][0x112], kLastUsablePid);
}

// A program that comes during the run is numbered as at the start: its
// streams run on past its block, and the next program starts above them.
TEST_F(CProgramNumberingTest, LaterProgramIsNumberedAsAtTheStart)
{
    Number(1, Program(1, 0x100, 2));
    const CGiven late = Number(2, Program(7, 0x100, 12));
    EXPECT_TRUE(late.bNew);
    EXPECT_EQ(late.program.nProgramNumber, 102);
    EXPECT_EQ(late.program.nPmtPid, 1021);
    EXPECT_EQ(m_vMaps[2][0x10B], 1034) << "PMT PID + 2 + 11";
    EXPECT_EQ(Number(2, Program(8, 0x200, 1)).program.nPmtPid, 1041);
    EXPECT_EQ(m_vMaps[1][0x100], 1013) << "each input has its own map";
}

// One PMT section lists at most kMaxPmtStreams streams: a new program with
// more is left out without taking a number; a known one that grows past it
// keeps its tables and is given no PID.
TEST_F(CProgramNumberingTest, ProgramBeyondAPmtIsLeftOutNewOrKeptKnown)
{
    EXPECT_EQ(Number(1, Program(1, 0x100, kMaxPmtStreams + 1)).kind, CGiven::kLeftOut);
    EXPECT_TRUE(m_numbering.IsOmitted(1, 1));
    EXPECT_EQ(Number(1, Program(2, 0x100, kMaxPmtStreams)).program.nProgramNumber, 101);
    const std::vector<int> before = m_vMaps[1];
    const CGiven grown = Number(1, Program(2, 0x100, kMaxPmtStreams + 1));
    EXPECT_EQ(grown.kind, CGiven::kKept);
    EXPECT_EQ(grown.nIndex, 0u);
    EXPECT_EQ(m_vMaps[1], before);
}

// Output numbers asked for are kept, whenever their program comes; the
// others are numbered from 101 on around them; a number asked for twice is
// refused and the first ask stands.
TEST_F(CProgramNumberingTest, AskedNumbersAreKeptAndTheOthersNumberedAroundThem)
{
    ASSERT_TRUE(m_numbering.Ask(2, 5, 102));
    ASSERT_TRUE(m_numbering.Ask(1, 3, 7));
    EXPECT_FALSE(m_numbering.Ask(2, 6, 7)) << "another input's program has 7";
    EXPECT_FALSE(m_numbering.Ask(1, 4, 102));
    EXPECT_EQ(Number(1, Program(1, 0x100, 1)).program.nProgramNumber, 101);
    EXPECT_EQ(Number(1, Program(2, 0x200, 1)).program.nProgramNumber, 103) << "102 is asked";
    const CGiven asked = Number(1, Program(3, 0x300, 1));
    EXPECT_EQ(asked.program.nProgramNumber, 7);
    EXPECT_EQ(asked.program.nPmtPid, 1031) << "PID blocks stay in numbering order";
    EXPECT_EQ(Number(1, Program(4, 0x400, 1)).program.nProgramNumber, 104);
    EXPECT_EQ(Number(2, Program(5, 0x100, 1)).program.nProgramNumber, 102);
    EXPECT_EQ(Number(2, Program(6, 0x200, 1)).program.nProgramNumber, 105);
    EXPECT_FALSE(m_numbering.Ask(2, 9, 105)) << "given already";
}

// With CA passing the ECM PIDs take PIDs after the streams, from the
// program's block; one shared by two programs keeps one; a new one of a
// program numbered before goes as a new stream does; PIDs taken elsewhere
// (the CAT's EMM PIDs) are given to nothing else.
TEST_F(CProgramNumberingTest, EcmPidsFollowTheStreamsAndPidsTakenElsewhereAreSkipped)
{
    m_numbering.SetCaPass(true);
    std::vector<uint8_t> vUsed = m_numbering.GetUsed();
    vUsed[1021] = 1;
    m_numbering.Take(vUsed);
    const CPmtDescriptor ecm300{0x09, {0x0B, 0x00, 0xE3, 0x00}};
    const CPmtDescriptor ecm301{0x09, {0x01, 0x00, 0xE3, 0x01}};
    CInProgram a = Program(1, 0x100, 2);
    a.descriptors.vProgramInfo = {ecm300};
    const CGiven first = Number(1, a);
    ASSERT_EQ(first.kind, CGiven::kNumbered);
    EXPECT_EQ(CaPidOf(first.program.descriptors.vProgramInfo[0]), 1015) << "after 1013, 1014";
    CInProgram b = Program(2, 0x200, 1);
    b.descriptors.vProgramInfo = {ecm300};
    b.descriptors.vEs = {{ecm301}};
    const CGiven second = Number(1, b);
    EXPECT_EQ(second.program.nPmtPid, 1031) << "1021 was taken";
    EXPECT_EQ(CaPidOf(second.program.descriptors.vProgramInfo[0]), 1015);
    EXPECT_EQ(CaPidOf(second.program.descriptors.vEs[0][0]), 1034);
    a.descriptors.vEs = {{ecm301}, {CPmtDescriptor{0x09, {0x01, 0x00, 0xE3, 0x02}}}};
    const CGiven again = Number(1, a);
    EXPECT_EQ(CaPidOf(again.program.descriptors.vEs[0][0]), 1034);
    EXPECT_EQ(CaPidOf(again.program.descriptors.vEs[1][0]), 1016);
    EXPECT_EQ(m_numbering.GetUsed()[1016], 1);
}
