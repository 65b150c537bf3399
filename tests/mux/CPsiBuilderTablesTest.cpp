#include "PsiBuilderTestKit.h"

using namespace pbk;

namespace {

// The tables one after another, continuity counters stamped per PID as a
// sender would, read back by the test-side reader.
tsr::CTsReader ReadTables(const std::vector<CPsiTable>& vTables)
{
    Bytes vAll;
    std::vector<int> vCc(kPidCount, 0);
    for (const CPsiTable& table : vTables) {
        for (size_t nOff = 0; nOff < table.vPackets.size(); nOff += kTsPacketSize) {
            vAll.insert(vAll.end(), table.vPackets.begin() + long(nOff),
                        table.vPackets.begin() + long(nOff + kTsPacketSize));
            vAll[vAll.size() - kTsPacketSize + 3] |= uint8_t(vCc[table.nPid]++ & kCcMask);
        }
    }
    tsr::CTsReader reader;
    reader.LoadBuffer(vAll.data(), vAll.size());
    EXPECT_EQ(reader.GetPsiErrors().nCrc + reader.GetPsiErrors().nLength, 0);
    return reader;
}

CPsiBuilder Programs(int nPrograms)
{
    std::vector<_PROGRAM_INFO> programs;
    for (int k = 0; k < nPrograms; ++k) {
        programs.push_back(Program(0x100 + 2 * k, {{0x100 + 2 * k, 0x1B}, {0x101 + 2 * k, 0x0F}}));
    }
    std::vector<int> map = FreshMap();
    CPsiBuilder builder;
    builder.AddInput(1, programs, map.data());
    return builder;
}

} // namespace

TEST(CPsiBuilderTest, TablesComeOneByOneInSetOrderAndMakeUpThePackets)
{
    CPsiBuilder builder = Programs(2);
    std::vector<CPsiTable> vTables;
    ASSERT_TRUE(builder.BuildTables(vTables));
    const std::vector<std::pair<int, int>> vExpected = {
        {kPidPat, 0x00}, {1011, 0x02}, {1021, 0x02}, {kPidSdt, 0x42}, {kPidNit, 0x40}};
    ASSERT_EQ(vTables.size(), vExpected.size());
    Bytes vJoined;
    for (size_t i = 0; i < vTables.size(); ++i) {
        EXPECT_EQ(std::make_pair(int(vTables[i].nPid), int(vTables[i].nTableId)), vExpected[i]);
        vJoined.insert(vJoined.end(), vTables[i].vPackets.begin(), vTables[i].vPackets.end());
    }
    EXPECT_EQ(vJoined, BuildSet(builder));
}

TEST(CPsiBuilderTest, IdentityAndVersionReachTheTablesAndANameListsTheNetworkPid)
{
    CPsiBuilder builder = Programs(2);
    const std::string sName(255, 'n'); // the longest a descriptor holds
    ASSERT_TRUE(builder.SetIdentity({0xFFFF, 0x2345, 0x3456, sName}));
    std::vector<CPsiTable> vTables;
    ASSERT_TRUE(builder.BuildTables(vTables, 31));
    const tsr::CTsReader reader = ReadTables(vTables);
    EXPECT_EQ(reader.GetPat().nTsId, 0xFFFF);
    EXPECT_EQ(reader.GetPat().nNetworkPid, kPidNit);
    EXPECT_EQ(reader.GetPat().programs.size(), 2u) << "program 0 is no program";
    EXPECT_EQ(reader.GetSdt().nTsId, 0xFFFF);
    EXPECT_EQ(reader.GetSdt().nOnid, 0x2345);
    EXPECT_EQ(reader.GetNit().nNetworkId, 0x3456);
    Bytes vDescriptor = {0x40, 255};
    vDescriptor.insert(vDescriptor.end(), sName.begin(), sName.end());
    EXPECT_EQ(reader.GetNit().descriptors, vDescriptor);
    for (int nVersion : {int(reader.GetPat().nVersion), int(reader.FindPmt(102)->nVersion),
                         int(reader.GetSdt().nVersion), int(reader.GetNit().nVersion)}) {
        EXPECT_EQ(nVersion, 31);
    }

    ASSERT_TRUE(builder.SetIdentity({0, 0, 0, ""}));
    ASSERT_TRUE(builder.BuildTables(vTables));
    EXPECT_EQ(ReadTables(vTables).GetPat().nNetworkPid, -1) << "no name, no network entry";
}

// Receivers read a name without a selector in the default table: UTF-8
// beyond ASCII needs 0x15 in front, and that byte counts in the descriptor.
TEST(CPsiBuilderTest, NonAsciiNetworkNameCarriesTheUtf8Selector)
{
    const std::string sCafe = "Caf\xC3\xA9";
    const std::string sLongest = std::string(252, 'n') + "\xC3\xA9"; // 254 bytes, 255 with it
    struct Case
    {
        std::string sGiven;
        std::string sWritten; // empty: refused
    };
    for (const Case& c : std::vector<Case>{
             {sCafe, "\x15" + sCafe},
             {"Net 1", "Net 1"},                          // ASCII alike in both tables
             {"\x15" + sCafe, "\x15" + sCafe},            // its own selector
             {"Caf\xE9", "Caf\xE9"},                      // not UTF-8: as given
             {"\xC3", "\xC3"},                            // cut short: not UTF-8
             {"\xE2\x82\xAC", "\x15\xE2\x82\xAC"},        // three bytes
             {sLongest, "\x15" + sLongest},
             {sLongest + "n", ""},
         }) {
        CPsiBuilder builder = Programs(1);
        ASSERT_EQ(builder.SetIdentity({1, 0, 0, c.sGiven}), !c.sWritten.empty()) << c.sGiven;
        if (c.sWritten.empty()) {
            continue;
        }
        std::vector<CPsiTable> vTables;
        ASSERT_TRUE(builder.BuildTables(vTables));
        Bytes vDescriptor = {0x40, uint8_t(c.sWritten.size())};
        vDescriptor.insert(vDescriptor.end(), c.sWritten.begin(), c.sWritten.end());
        EXPECT_EQ(ReadTables(vTables).GetNit().descriptors, vDescriptor) << c.sGiven;
    }
}

TEST(CPsiBuilderTest, OutOfRangeIdentityAndVersionAreRefusedWithALine)
{
    CLogCapture capture;
    CPsiBuilder builder;
    ASSERT_TRUE(builder.SetIdentity({7, 8, 9, "net"}));
    EXPECT_FALSE(builder.SetIdentity({-1, 0x10000, 10, std::string(256, 'x')}));
    EXPECT_EQ(builder.GetIdentity().nTsId, 7);
    EXPECT_EQ(builder.GetIdentity().nOriginalNetworkId, 8);
    EXPECT_EQ(builder.GetIdentity().nNetworkId, 10) << "a good value beside bad ones is taken";
    EXPECT_EQ(builder.GetIdentity().sNetworkName, "net");
    EXPECT_EQ(g_vLogLines.at(0),
              "2 mux: transport_stream_id -1 refused: it must be 0 to 65535, 7 stays");

    std::vector<CPsiTable> vTables(1);
    for (int nBad : {-1, 32}) {
        EXPECT_FALSE(builder.BuildTables(vTables, nBad));
        EXPECT_EQ(vTables.size(), 1u) << "a refused build leaves the tables as they were";
    }
    EXPECT_EQ(g_vLogLines.size(), 5u);
}

TEST(CPsiBuilderTest, LeftOutProgramIsNamedByItsInputProgramNumber)
{
    CLogCapture capture;
    std::vector<int> map = FreshMap();
    std::vector<_ES_INFO> vEs;
    for (int k = 0; k < kMaxPmtStreams + 1; ++k) {
        vEs.push_back({0x200 + k, 0x06});
    }
    std::vector<CProgramDescriptors> vDescriptors(2);
    vDescriptors[0].nProgramNumber = 40;
    vDescriptors[1].nProgramNumber = 7;
    CPsiBuilder builder;
    builder.AddInput(3, {Program(0x100, {{0x100, 0x02}}), Program(0x100, vEs, 0x70)}, map.data(),
                     &vDescriptors);
    ASSERT_EQ(builder.GetOmitted().size(), 1u);
    EXPECT_EQ(builder.GetOmitted()[0].nInput, 3);
    EXPECT_EQ(builder.GetOmitted()[0].nProgramNumber, 7);
    EXPECT_EQ(builder.GetOmitted()[0].nPmtPid, 0x70);
    ASSERT_EQ(g_vLogLines.size(), 1u);
    EXPECT_EQ(g_vLogLines[0].rfind("2 mux: input 3 program 7 (PMT PID 0x0070) left out", 0), 0u)
        << g_vLogLines[0];
}

TEST(CPsiBuilderTest, TableLoadGrowsWithThePrograms)
{
    std::vector<CPsiTable> vTables;
    ASSERT_TRUE(Programs(2).BuildTables(vTables));
    EXPECT_EQ(CPsiBuilder::TableBitRate(vTables, kPsiRepeatMs), 5 * kTsPacketSize * 8 * 1000 / 80);
    EXPECT_EQ(CPsiBuilder::TableBitRate(vTables, 0), -1);
    ASSERT_TRUE(Programs(200).BuildTables(vTables));
    EXPECT_GT(CPsiBuilder::TableBitRate(vTables, kPsiRepeatMs), 4'000'000);
}

TEST(CPsiBuilderTest, UpdateKeepsEveryPidGivenAndTakesTheNextFreeInTheBlockThenFromTheTop)
{
    CLogCapture capture;
    std::vector<CProgramDescriptors> vOne(1);
    vOne[0].nProgramNumber = 1;
    std::vector<_ES_INFO> vEs;
    for (int nPid = 0x100; nPid < 0x109; ++nPid) {
        vEs.push_back(_ES_INFO{nPid, 0x06});
    }
    std::vector<int> map = FreshMap();
    CPsiBuilder builder;
    builder.AddInput(1, {Program(0x100, {vEs.begin(), vEs.begin() + 7})}, map.data(), &vOne);
    const std::vector<int> before = map;

    // Two streams more: the last free PID of the block, then the top.
    EXPECT_TRUE(builder.UpdateInput(1, {Program(0x100, vEs)}, map.data(), vOne));
    EXPECT_TRUE(std::equal(map.begin() + 0x100, map.begin() + 0x107, before.begin() + 0x100));
    EXPECT_EQ(map[0x107], 1020);
    EXPECT_EQ(map[0x108], kLastUsablePid);
    EXPECT_EQ(std::count(g_vLogLines.begin(), g_vLogLines.end(),
                         "1 mux: input 1 program 1: stream PID 0x0108 -> 0x1FFE"),
              1);
    EXPECT_FALSE(builder.UpdateInput(1, {Program(0x100, vEs)}, map.data(), vOne)) << "no change";
}

// The PCRs of a program whose PMT names no PCR_PID come on its video: the
// PMT names the video from then on, through updates that leave the input's
// PCR_PID and the video as they were, and names the input's choice again
// once that changes or the video leaves.
TEST(CPsiBuilderTest, PcrPidMovedToAStreamStaysWhileTheInputLeavesItSo)
{
    CLogCapture capture;
    std::vector<CProgramDescriptors> vOne(1);
    vOne[0].nProgramNumber = 1;
    const std::vector<_ES_INFO> vEs{{0x101, 0x02}, {0x102, 0x04}};
    std::vector<int> map = FreshMap();
    CPsiBuilder builder;
    builder.AddInput(1, {Program(kPidNull, vEs)}, map.data(), &vOne);
    ASSERT_EQ(builder.GetPrograms()[0].nPcrPid, kPidNull);
    const int nVideo = map[0x101];
    EXPECT_TRUE(builder.MovePcrPid(0, nVideo));
    EXPECT_FALSE(builder.MovePcrPid(0, nVideo)) << "no change";
    EXPECT_FALSE(builder.MovePcrPid(5, nVideo)) << "no such program";
    std::vector<CPsiTable> vTables;
    ASSERT_TRUE(builder.BuildTables(vTables, 1));
    std::vector<uint8_t> vPsi = vTables[0].vPackets; // PAT, then the PMT
    vPsi.insert(vPsi.end(), vTables[1].vPackets.begin(), vTables[1].vPackets.end());
    tsr::CTsReader reader;
    reader.LoadBuffer(vPsi.data(), vPsi.size());
    ASSERT_NE(reader.FindPmt(101), nullptr);
    EXPECT_EQ(reader.FindPmt(101)->nPcrPid, nVideo);

    // A new descriptor loop: the input's PCR_PID and the video stay.
    std::vector<CProgramDescriptors> vTagged = vOne;
    vTagged[0].vProgramInfo.push_back({0x05, {'A', 'B', 'C', 'D'}});
    EXPECT_TRUE(builder.UpdateInput(1, {Program(kPidNull, vEs)}, map.data(), vTagged));
    EXPECT_EQ(builder.GetPrograms()[0].nPcrPid, nVideo);
    // The video gone: what the input names again.
    EXPECT_TRUE(builder.UpdateInput(1, {Program(kPidNull, {vEs[1]})}, map.data(), vTagged));
    EXPECT_EQ(builder.GetPrograms()[0].nPcrPid, kPidNull);
    EXPECT_TRUE(builder.MovePcrPid(0, map[0x102]));
    // The input naming a PCR_PID of its own: that one (here the one already named).
    EXPECT_FALSE(builder.UpdateInput(1, {Program(0x102, {vEs[1]})}, map.data(), vTagged));
    EXPECT_EQ(builder.GetPrograms()[0].nPmtPcrPid, map[0x102]);
    EXPECT_TRUE(builder.UpdateInput(1, {Program(0x103, {vEs[1]})}, map.data(), vTagged));
    EXPECT_EQ(builder.GetPrograms()[0].nPcrPid, map[0x103]);
}
