#include "mux/CPsiBuilder.h"

#include "input/CaPids.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int kEcm = 0x0300, kVideoEcm = 0x0301, kEmm = 0x1F00;

CPmtDescriptor Ca(uint16_t nSystem, int nPid)
{
    return CPmtDescriptor{0x09, {uint8_t(nSystem >> 8), uint8_t(nSystem),
                                 uint8_t(0xE0 | (nPid >> 8)), uint8_t(nPid)}};
}

// Two programs of one input sharing the program-level ECM; the first has a
// stream-level one on its audio too.
struct CScrambledInput
{
    CInputTables tables;
    std::vector<int> vMap = std::vector<int>(kPidCount, -1);

    CScrambledInput()
    {
        tables.vPrograms = {{0x100, 0x20, {{0x100, 0x1B}, {0x101, 0x0F}}},
                            {0x110, 0x21, {{0x110, 0x1B}}}};
        CProgramDescriptors first;
        first.nProgramNumber = 1;
        first.vProgramInfo = {Ca(0x0B00, kEcm)};
        first.vEs = {{}, {{0x0A, {'d', 'e', 'u', 0}}, Ca(0x0100, kVideoEcm)}};
        CProgramDescriptors second;
        second.nProgramNumber = 2;
        second.vProgramInfo = {Ca(0x0B00, kEcm)};
        second.vEs = {{}};
        tables.vDescriptors = {first, second};
        tables.bHasCat = true;
        tables.vCat = {Ca(0x0B00, kEmm)};
        tables.services[1].bFreeCa = false; // the input's SDT says so, whatever the PMT
    }
    void AddTo(CPsiBuilder& builder)
    {
        builder.AddInput(1, tables.vPrograms, vMap.data(), &tables.vDescriptors);
        builder.SetServices(1, tables.services);
        builder.SetCat(1, tables, vMap.data());
    }
};

tsr::CTsReader Read(const std::vector<CPsiTable>& vTables)
{
    std::vector<uint8_t> vAll;
    for (const CPsiTable& table : vTables) {
        vAll.insert(vAll.end(), table.vPackets.begin(), table.vPackets.end());
    }
    tsr::CTsReader reader;
    reader.LoadBuffer(vAll.data(), vAll.size());
    EXPECT_EQ(reader.GetPsiErrors().nCrc, 0);
    return reader;
}

} // namespace

TEST(CPsiBuilderCaTest, PassGivesEcmPidsFromTheProgramsBlockAndNamesThemInItsPmt)
{
    CScrambledInput in;
    CPsiBuilder builder;
    builder.SetCaPass(true);
    in.AddTo(builder);
    // Program 101 (PMT 1011): streams 1013 and 1014, then its ECMs in
    // descriptor order; program 102 shares the first and gets none of its own.
    EXPECT_EQ(in.vMap[0x100], 1013);
    EXPECT_EQ(in.vMap[0x101], 1014);
    EXPECT_EQ(in.vMap[kEcm], 1015);
    EXPECT_EQ(in.vMap[kVideoEcm], 1016);
    EXPECT_EQ(in.vMap[0x110], 1023);
    EXPECT_EQ(in.vMap[kEmm], kFirstEmmPid);

    std::vector<CPsiTable> vTables;
    ASSERT_TRUE(builder.BuildTables(vTables));
    ASSERT_EQ(vTables.size(), 6u) << "PAT, two PMTs, SDT, NIT, CAT";
    EXPECT_EQ(vTables.back().nPid, kPidCat);
    EXPECT_EQ(vTables.back().nTableId, kTableIdCat);
    const tsr::CTsReader reader = Read(vTables);
    const tsr::Pmt* p101 = reader.FindPmt(101);
    const tsr::Pmt* p102 = reader.FindPmt(102);
    ASSERT_TRUE(p101 != nullptr && p102 != nullptr);
    EXPECT_EQ(p101->programInfo, (tsr::Bytes{0x09, 4, 0x0B, 0x00, 0xE0 | (1015 >> 8), 1015 & 0xFF}));
    EXPECT_EQ(p102->programInfo, p101->programInfo);
    ASSERT_EQ(p101->streams.size(), 2u);
    EXPECT_EQ(p101->streams[1].descriptors,
              (tsr::Bytes{0x0A, 4, 'd', 'e', 'u', 0, 0x09, 4, 0x01, 0x00, 0xE0 | (1016 >> 8),
                          1016 & 0xFF}));
    ASSERT_TRUE(reader.HasCat());
    EXPECT_EQ(reader.GetCatDescriptors(),
              (tsr::Bytes{0x09, 4, 0x0B, 0x00, 0xE0, uint8_t(kFirstEmmPid)}));
    // free_CA_mode: the input's SDT where it has the service, else the PMT's CA.
    ASSERT_EQ(reader.GetSdt().services.size(), 2u);
    EXPECT_FALSE(reader.GetSdt().services[0].bFreeCa);
    EXPECT_TRUE(reader.GetSdt().services[1].bFreeCa);
}

TEST(CPsiBuilderCaTest, ByDefaultNothingOfCaGoesOut)
{
    CScrambledInput in;
    CPsiBuilder builder;
    in.AddTo(builder);
    EXPECT_EQ(in.vMap[kEcm], -1);
    EXPECT_EQ(in.vMap[kVideoEcm], -1);
    EXPECT_EQ(in.vMap[kEmm], -1);
    std::vector<CPsiTable> vTables;
    ASSERT_TRUE(builder.BuildTables(vTables));
    ASSERT_EQ(vTables.size(), 5u) << "no CAT";
    const tsr::CTsReader reader = Read(vTables);
    EXPECT_TRUE(reader.FindPmt(101)->programInfo.empty());
    EXPECT_EQ(reader.FindPmt(101)->streams[1].descriptors, (tsr::Bytes{0x0A, 4, 'd', 'e', 'u', 0}));
    for (const tsr::SdtService& service : reader.GetSdt().services) {
        EXPECT_FALSE(service.bFreeCa);
    }
}

TEST(CPsiBuilderCaTest, EcmPidsFollowTheInputsTablesAndTheSdtsFreeCaMode)
{
    CScrambledInput in;
    CPsiBuilder builder;
    builder.SetCaPass(true);
    in.AddTo(builder);
    // The second program's PMT names an ECM of its own now: the next free
    // PID of its block; the shared one keeps its PID.
    in.tables.vDescriptors[1].vEs[0] = {Ca(0x0100, 0x0302)};
    ASSERT_TRUE(builder.UpdateInput(1, in.tables.vPrograms, in.vMap.data(), in.tables.vDescriptors));
    EXPECT_EQ(in.vMap[0x0302], 1024);
    EXPECT_EQ(in.vMap[kEcm], 1015);
    // Nothing new: no change.
    EXPECT_FALSE(builder.UpdateInput(1, in.tables.vPrograms, in.vMap.data(), in.tables.vDescriptors));
    // A free_CA_mode that changes changes the SDT, though names do not go out.
    CServiceMap services = in.tables.services;
    EXPECT_FALSE(builder.SetServices(1, services));
    services[1].bFreeCa = true;
    EXPECT_TRUE(builder.SetServices(1, services));
    services[1].sName = "renamed";
    EXPECT_FALSE(builder.SetServices(1, services));
    // Without CA passing free_CA_mode stays 0: its change alone changes nothing.
    CPsiBuilder names;
    names.SetServiceNames(true);
    names.SetServices(1, in.tables.services);
    services = in.tables.services;
    services[1].bFreeCa = true;
    EXPECT_FALSE(names.SetServices(1, services));
    services[1].sName = "renamed";
    EXPECT_TRUE(names.SetServices(1, services));

    std::vector<CPsiTable> vTables;
    ASSERT_TRUE(builder.BuildTables(vTables, 1));
    const tsr::CTsReader reader = Read(vTables);
    EXPECT_EQ(reader.FindPmt(102)->streams[0].descriptors,
              (tsr::Bytes{0x09, 4, 0x01, 0x00, 0xE0 | (1024 >> 8), 1024 & 0xFF}));
    EXPECT_TRUE(reader.GetSdt().services[0].bFreeCa);
}
