#include "mux/CPsiBuilder.h"

#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

namespace {

CPmtDescriptor Ca(uint16_t nSystem, int nPid)
{
    return {0x09, {uint8_t(nSystem >> 8), uint8_t(nSystem), uint8_t(0xE0 | (nPid >> 8)),
                   uint8_t(nPid)}};
}

tsr::Bytes CaBytes(uint16_t nSystem, int nPid)
{
    const CPmtDescriptor d = Ca(nSystem, nPid);
    tsr::Bytes v{d.nTag, uint8_t(d.vData.size())};
    v.insert(v.end(), d.vData.begin(), d.vData.end());
    return v;
}

tsr::CTsReader Read(const CPsiBuilder& builder, int nVersion)
{
    std::vector<CPsiTable> vTables;
    EXPECT_TRUE(builder.BuildTables(vTables, nVersion));
    std::vector<uint8_t> vAll;
    for (const CPsiTable& table : vTables) {
        vAll.insert(vAll.end(), table.vPackets.begin(), table.vPackets.end());
    }
    tsr::CTsReader reader;
    reader.LoadBuffer(vAll.data(), vAll.size());
    return reader;
}

} // namespace

// Two programs of one input share the program-level ECM 0x300; the first has
// a stream-level one (0x301) on its audio too; its CAT names EMM PID 0x1F00.
TEST(CPsiBuilderCaTest, EcmPidsComeFromTheProgramsBlockAndFollowItsPmt)
{
    CInputTables in;
    in.vPrograms = {{0x100, 0x20, {{0x100, 0x1B}, {0x101, 0x0F}}}, {0x110, 0x21, {{0x110, 0x1B}}}};
    in.vDescriptors.resize(2);
    in.vDescriptors[0] = {{Ca(0x0B00, 0x300)}, {{}, {Ca(0x0100, 0x301)}}, 1};
    in.vDescriptors[1] = {{Ca(0x0B00, 0x300)}, {{}}, 2};
    in.bHasCat = true;
    in.vCat = {Ca(0x0B00, 0x1F00)};
    in.services[1].bFreeCa = false; // the input's SDT says so, whatever the PMT
    std::vector<int> vMap(kPidCount, -1);
    CPsiBuilder builder;
    builder.SetCaPass(true);
    builder.AddInput(1, in.vPrograms, vMap.data(), &in.vDescriptors);
    builder.SetServices(1, in.services);
    builder.SetCat(1, in, vMap.data());
    // After the streams of program 101 (1013, 1014), its ECMs in PMT order.
    EXPECT_EQ(vMap[0x300], 1015);
    EXPECT_EQ(vMap[0x301], 1016);
    EXPECT_EQ(vMap[0x110], 1023);
    EXPECT_EQ(vMap[0x1F00], kFirstEmmPid);
    tsr::CTsReader reader = Read(builder, 0);
    EXPECT_EQ(reader.GetPsiErrors().nCrc, 0);
    EXPECT_EQ(reader.FindPmt(101)->programInfo, CaBytes(0x0B00, 1015));
    EXPECT_EQ(reader.FindPmt(102)->programInfo, CaBytes(0x0B00, 1015));
    EXPECT_EQ(reader.FindPmt(101)->streams[1].descriptors, CaBytes(0x0100, 1016));
    EXPECT_EQ(reader.GetCatDescriptors(), CaBytes(0x0B00, kFirstEmmPid));
    // free_CA_mode: the input's SDT where it has the service, else the PMT's CA.
    ASSERT_EQ(reader.GetSdt().services.size(), 2u);
    EXPECT_FALSE(reader.GetSdt().services[0].bFreeCa);
    EXPECT_TRUE(reader.GetSdt().services[1].bFreeCa);

    // Program 102 names an ECM of its own now: the next free PID of its block.
    in.vDescriptors[1].vEs[0] = {Ca(0x0100, 0x302)};
    ASSERT_TRUE(builder.UpdateInput(1, in.vPrograms, vMap.data(), in.vDescriptors));
    EXPECT_FALSE(builder.UpdateInput(1, in.vPrograms, vMap.data(), in.vDescriptors));
    EXPECT_EQ(vMap[0x302], 1024);
    // A change of free_CA_mode alone is one of the SDT; of names, not without them.
    in.services[1].sName = "renamed";
    EXPECT_FALSE(builder.SetServices(1, in.services));
    in.services[1].bFreeCa = true;
    EXPECT_TRUE(builder.SetServices(1, in.services));
    reader = Read(builder, 1);
    EXPECT_EQ(reader.FindPmt(102)->streams[0].descriptors, CaBytes(0x0100, 1024));
    EXPECT_TRUE(reader.GetSdt().services[0].bFreeCa);
}
