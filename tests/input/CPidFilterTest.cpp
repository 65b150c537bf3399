#include "input/CPidFilter.h"

#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

using tsb::CPacketBuilder;
using tsb::Packet;

namespace {

constexpr uint16_t kVideo = 0x100; // a stream, and the PCR PID
constexpr uint16_t kPcrOnly = 0x1FF;

CInputTables Tables(bool bWithPcrOnly)
{
    CInputTables tables;
    _PROGRAM_INFO program;
    program.nPcrPid = bWithPcrOnly ? kPcrOnly : kVideo;
    program.nPmtPid = 0x1000;
    program.vecEsInfo = {{kVideo, 0x02}};
    tables.vPrograms.push_back(program);
    return tables;
}

Packet Unit(bool bStart, uint8_t nCc)
{
    tsb::Header h{kVideo, nCc};
    h.bPusi = bStart;
    return CPacketBuilder::Payload(h, {0x11});
}

TEST(CPidFilterTest, StreamWaitsForItsUnitStartAndMarksItWhereItsCounterJumps)
{
    CPidFilter filter;
    filter.Apply(Tables(true));
    ASSERT_TRUE(filter.IsKept(kVideo) && filter.IsKept(kPcrOnly));
    bool bMark = false;
    const Packet pcr = CPacketBuilder::AdaptationOnly({kPcrOnly, 0}, 183, 0x10);
    EXPECT_TRUE(filter.PassesUnit(pcr.data(), kPcrOnly, bMark)) << "no unit to wait for";
    EXPECT_FALSE(filter.PassesUnit(Unit(false, 1).data(), kVideo, bMark));
    EXPECT_TRUE(filter.PassesUnit(Unit(true, 2).data(), kVideo, bMark));
    EXPECT_FALSE(bMark) << "nothing passed before it: the output's counter starts here";
    filter.RestartUnits();
    const Packet af = CPacketBuilder::AdaptationOnly({kVideo, 2}, 183, 0x00);
    EXPECT_TRUE(filter.PassesUnit(af.data(), kVideo, bMark)) << "no payload: it passes";
    EXPECT_TRUE(filter.PassesUnit(Unit(true, 3).data(), kVideo, bMark));
    EXPECT_FALSE(bMark) << "its counter runs on from the one that passed";
    filter.RestartUnits();
    EXPECT_TRUE(filter.PassesUnit(af.data(), kVideo, bMark));
    EXPECT_FALSE(filter.PassesUnit(Unit(false, 3).data(), kVideo, bMark));
    EXPECT_TRUE(filter.PassesUnit(Unit(true, 4).data(), kVideo, bMark));
    EXPECT_TRUE(bMark) << "payload between them was dropped";
    EXPECT_TRUE(filter.PassesUnit(Unit(false, 5).data(), kVideo, bMark));
    EXPECT_FALSE(bMark);
}

TEST(CPidFilterTest, StreamNamedAgainKeepsGoingAndANewOneWaits)
{
    CPidFilter filter;
    filter.Apply(Tables(false));
    bool bMark = false;
    ASSERT_TRUE(filter.PassesUnit(Unit(true, 0).data(), kVideo, bMark));
    filter.Apply(Tables(true));
    EXPECT_TRUE(filter.PassesUnit(Unit(false, 1).data(), kVideo, bMark));
    EXPECT_TRUE(filter.IsKept(kPcrOnly));
    filter.Apply(CInputTables{});
    EXPECT_FALSE(filter.IsKept(kVideo));
}

TEST(CPidFilterTest, HeaderNoReceiverCanTakeIsMalformed)
{
    struct CCase
    {
        uint8_t nAfc;    // adaptation_field_control
        uint8_t nLength; // adaptation_field_length
        bool bMalformed;
    };
    for (const CCase& c : {CCase{0, 0, true}, CCase{1, 255, false}, CCase{2, 183, false},
                           CCase{2, 184, true}, CCase{3, 182, false}, CCase{3, 183, true},
                           CCase{3, 235, true}}) {
        Packet p = Unit(true, 0);
        p[3] = uint8_t((p[3] & 0xCF) | (c.nAfc << 4));
        p[4] = c.nLength;
        EXPECT_EQ(CPidFilter::IsMalformed(p.data()), c.bMalformed)
            << "afc " << int(c.nAfc) << " length " << int(c.nLength);
    }
}

} // namespace

TEST(CPidFilterTest, EcmAndEmmPidsPassOnlyWithCaFromTheirNextSectionStart)
{
    CInputTables tables = Tables(false);
    tables.vDescriptors = {{{{0x09, {0x0B, 0x00, 0xE3, 0x00}}}, {}, 1}}; // ECM 0x300
    tables.vCat = {{0x09, {0x0B, 0x00, 0xFF, 0x00}}};                     // EMM 0x1F00
    CPidFilter filter;
    filter.Apply(tables);
    EXPECT_FALSE(filter.IsKept(0x300) || filter.IsKept(0x1F00)) << "not without CA";
    filter.SetCaPass(true);
    ASSERT_TRUE(filter.IsKept(0x300) && filter.IsKept(0x1F00) && filter.IsKept(kVideo));
    bool bMark = false;
    const Packet tail = CPacketBuilder::Payload({0x300, 3}, {0x11});
    tsb::Header start{0x300, 4};
    start.bPusi = true;
    EXPECT_FALSE(filter.PassesUnit(tail.data(), 0x300, bMark)) << "the rest of a section";
    EXPECT_TRUE(filter.PassesUnit(CPacketBuilder::Payload(start, {0}).data(), 0x300, bMark));
    EXPECT_TRUE(filter.PassesUnit(tail.data(), 0x300, bMark));
}
