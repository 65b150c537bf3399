#include "input/CDecodingMargin.h"

#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

using namespace mtk;
using tsb::CPacketBuilder;

namespace {

constexpr int32_t kNone = CDecodingMargin::kNone;

tsb::Packet Pcr(uint16_t nPid, int64_t nPcr)
{
    return CPacketBuilder::Pcr(On(nPid), nPcr);
}

} // namespace

TEST(CDecodingMarginTest, PesTimeIsTheDtsElseThePtsOfAPesWithTheOptionalHeader)
{
    EXPECT_EQ(CDecodingMargin::PesTime(CPacketBuilder::PesStart(On(0x101), 0xE0, 9000, 5400).data()),
              5400);
    EXPECT_EQ(CDecodingMargin::PesTime(CPacketBuilder::PesStart(On(0x101), 0xC0, 9000).data()), 9000);
    EXPECT_EQ(CDecodingMargin::PesTime(CPacketBuilder::PesStart(On(0x101), 0xC0, {}).data()), -1);
    // Padding has no header; a start pushed past the packet by the
    // adaptation field has none to read; a continuation starts nothing.
    EXPECT_EQ(CDecodingMargin::PesTime(CPacketBuilder::PesStart(On(0x101), 0xBE, 9000).data()), -1);
    tsb::Packet cut = CPacketBuilder::AdaptationOnly(On(0x101), 176);
    cut[1] |= 0x40;
    cut[181] = 0;
    cut[182] = 0;
    cut[183] = 1;
    cut[184] = 0xE0;
    EXPECT_EQ(CDecodingMargin::PesTime(cut.data()), -1);
    EXPECT_EQ(CDecodingMargin::PesTime(CPacketBuilder::Payload(On(0x101), {0, 0, 1, 0xE0}).data()),
              -1);    // A scrambled payload has no header to read, whatever its bytes look like.
    for (uint8_t nScrambling = 1; nScrambling <= 3; ++nScrambling) {
        tsb::Header h = On(0x101);
        h.nScrambling = nScrambling;
        EXPECT_EQ(CDecodingMargin::PesTime(CPacketBuilder::PesStart(h, 0xE0, 9000).data()), -1);
    }
}

TEST(CDecodingMarginTest, MarginIsTheTimeStampLessThePcrCarriedToThePacketAcrossTheWrap)
{
    CDecodingMargin margin;
    margin.SetPrograms({{0x100, 0x1000, {{0x101, 0x02}, {0x102, 0x04}}}});
    // PCRs 1,000 ticks a packet apart, the second just before the wrap.
    const int64_t nSecond = kPcrModulo - 3000;
    EXPECT_EQ(margin.Look(Pcr(0x100, nSecond - 10'000).data(), 0x100, nSecond - 10'000, 0), kNone);
    EXPECT_EQ(margin.Look(Pcr(0x100, nSecond).data(), 0x100, nSecond, 10), kNone);
    // Five packets on, the PCR is 2,000 ticks past the wrap (6.67 in 90 kHz);
    // the PTS 40,506: 40,499.33 ahead.
    const tsb::Packet pes = CPacketBuilder::PesStart(On(0x102), 0xC0, 40'506);
    EXPECT_EQ(margin.Look(pes.data(), 0x102, -1, 15), 40'499);
    // A stamp ten seconds off is on another clock; a PID of no program has none.
    const tsb::Packet far = CPacketBuilder::PesStart(On(0x101), 0xE0, 20 * 90'000);
    EXPECT_EQ(margin.Look(far.data(), 0x101, -1, 16), kNone);
    EXPECT_EQ(margin.Look(pes.data(), 0x103, -1, 17), kNone);
}

TEST(CDecodingMarginTest, ProgramWithoutPcrPidIsTimedByThePcrsOnItsStream)
{
    CDecodingMargin margin;
    margin.SetPrograms({{kPidNull, 0x1000, {{0x101, 0x02}}}});
    const tsb::Packet pes = CPacketBuilder::PesStart(On(0x101), 0xE0, 100'000, 90'000);
    EXPECT_EQ(margin.Look(pes.data(), 0x101, -1, 0), kNone) << "no PCR yet";
    const int64_t nPcr = 60'000 * 300;
    const tsb::Packet both =
        CPacketBuilder::PesStart(On(0x101), 0xE0, 100'000, 90'000, nPcr);
    EXPECT_EQ(margin.Look(both.data(), 0x101, nPcr, 1), 30'000);
}
