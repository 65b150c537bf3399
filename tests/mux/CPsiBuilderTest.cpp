#include "PsiBuilderTestKit.h"

using namespace pbk;


TEST(CPsiBuilderTest, NumbersProgramsAcrossInputsAndWritesPidMaps)
{
    std::vector<int> mapA = FreshMap(), mapB = FreshMap();
    CPsiBuilder builder;
    builder.AddInput(1, {Program(0x1FF, {{0x1E1, 0x02}, {0x1E2, 0x04}})}, mapA.data());
    builder.AddInput(2, {Program(0x101, {{0x100, 0x1B}})}, mapB.data());

    EXPECT_EQ(mapA[0x1FF], 1012);
    EXPECT_EQ(mapA[0x1E1], 1013);
    EXPECT_EQ(mapA[0x1E2], 1014);
    EXPECT_EQ(mapB[0x101], 1022);
    EXPECT_EQ(mapB[0x100], 1023);
    int nWritten = 0;
    for (int nPid = 0; nPid < kPidCount; ++nPid) {
        nWritten += (mapA[nPid] != -1) + (mapB[nPid] != -1);
    }
    EXPECT_EQ(nWritten, 5) << "entries no program names keep their value";

    const std::vector<COutProgram>& programs = builder.GetPrograms();
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(programs[0].nProgramNumber, 101);
    EXPECT_EQ(programs[0].nPmtPid, 1011);
    EXPECT_EQ(programs[0].nPcrPid, 1012);
    EXPECT_EQ(programs[1].nProgramNumber, 102);
    EXPECT_EQ(programs[1].nPmtPid, 1021);
    EXPECT_EQ(programs[1].nPcrPid, 1022);

    const Bytes vPsi = BuildSet(builder);
    EXPECT_EQ(vPsi.size(), 5u * kTsPacketSize); // PAT, 2 PMTs, SDT, NIT
    EXPECT_EQ(ParsePat(SectionsOnPid(vPsi, kPidPat)),
              (std::map<int, int>{{101, 1011}, {102, 1021}}));
    const std::vector<Bytes> pmt1 = SectionsOnPid(vPsi, 1011);
    ASSERT_EQ(pmt1.size(), 1u);
    const CParsedPmt parsed = ParsePmt(pmt1[0]);
    EXPECT_EQ(parsed.nProgram, 101);
    EXPECT_EQ(parsed.nPcrPid, 1012);
    EXPECT_EQ(parsed.vEs, (std::vector<std::pair<int, int>>{{0x02, 1013}, {0x04, 1014}}));
    const std::vector<Bytes> pmt2 = SectionsOnPid(vPsi, 1021);
    ASSERT_EQ(pmt2.size(), 1u);
    EXPECT_EQ(ParsePmt(pmt2[0]).vEs, (std::vector<std::pair<int, int>>{{0x1B, 1023}}));
}

TEST(CPsiBuilderTest, PsiPacketsStartAsLaidOutWithPatFirst)
{
    std::vector<int> map = FreshMap();
    CPsiBuilder builder;
    builder.AddInput(1, {Program(0x100, {{0x100, 0x02}})}, map.data());
    const Bytes vPsi = BuildSet(builder);
    ASSERT_EQ(vPsi.size(), 4u * kTsPacketSize);
    const std::vector<Bytes> vExpected = {{0x47, 0x60, 0x00, 0x10, 0x00, 0x00},
                                          {0x47, 0x63, 0xF3, 0x10, 0x00, 0x02},
                                          {0x47, 0x60, 0x11, 0x10, 0x00, 0x42},
                                          {0x47, 0x60, 0x10, 0x10, 0x00, 0x40}};
    for (size_t i = 0; i < vExpected.size(); ++i) {
        EXPECT_EQ(Bytes(vPsi.begin() + long(i * kTsPacketSize),
                        vPsi.begin() + long(i * kTsPacketSize + 6)),
                  vExpected[i])
            << "packet " << i;
    }
    const std::vector<Bytes> nit = SectionsOnPid(vPsi, kPidNit);
    ASSERT_EQ(nit.size(), 1u);
    ExpectValidSection(nit[0], 0x40);
    EXPECT_EQ(nit[0].size(), 16u) << "no descriptors, no transport streams";
}

TEST(CPsiBuilderTest, PcrOnStreamPidLeavesOnThatStreamsOutputPid)
{
    // Video 0x100 carries the PCR: PMT + 1 stays unused, streams from PMT + 2.
    std::vector<int> map = FreshMap();
    CPsiBuilder builder;
    builder.AddInput(1, {Program(0x100, {{0x100, 0x1B}, {0x101, 0x0F}})}, map.data());
    EXPECT_EQ(map[0x100], 1013);
    EXPECT_EQ(map[0x101], 1014);
    ASSERT_EQ(builder.GetPrograms().size(), 1u);
    EXPECT_EQ(builder.GetPrograms()[0].nPcrPid, 1013);
    for (int nPid = 0; nPid < kPidCount; ++nPid) {
        EXPECT_NE(map[nPid], 1012) << "PMT + 1 given to PID " << nPid;
    }
    const std::vector<Bytes> pmt = SectionsOnPid(BuildSet(builder), 1011);
    ASSERT_EQ(pmt.size(), 1u);
    EXPECT_EQ(ParsePmt(pmt[0]).nPcrPid, 1013);
}

TEST(CPsiBuilderTest, SharedAndMissingPcrPids)
{
    // Two programs of one input share PCR PID 0x200; a third has none.
    std::vector<int> map = FreshMap();
    CPsiBuilder builder;
    builder.AddInput(1,
                     {Program(0x200, {{0x201, 0x02}}), Program(0x200, {{0x202, 0x02}}),
                      Program(kPidNull, {{0x203, 0x03}})},
                     map.data());
    const std::vector<COutProgram>& programs = builder.GetPrograms();
    ASSERT_EQ(programs.size(), 3u);
    EXPECT_EQ(programs[0].nPcrPid, 1012);
    EXPECT_EQ(programs[1].nPcrPid, 1012) << "one input PID, one output PID";
    EXPECT_EQ(programs[2].nPcrPid, kPidNull);
    EXPECT_EQ(map[0x200], 1012);
    EXPECT_EQ(map[kPidNull], -1);
    const std::vector<Bytes> pmt = SectionsOnPid(BuildSet(builder), 1031);
    ASSERT_EQ(pmt.size(), 1u);
    EXPECT_EQ(ParsePmt(pmt[0]).nPcrPid, kPidNull);
}

TEST(CPsiBuilderTest, ServiceDescriptorNamesProviderAndService)
{
    std::vector<int> map = FreshMap();
    CPsiBuilder builder;
    builder.AddInput(1, {Program(0x100, {{0x101, 0x02}})}, map.data());
    const std::map<int, Bytes> services = ParseSdt(SectionsOnPid(BuildSet(builder), kPidSdt));
    ASSERT_EQ(services.size(), 1u);
    ASSERT_EQ(services.count(101), 1u);
    const std::string sBody = "\x01\x0c"
                              "libbraidmill\x0b"
                              "service 101";
    EXPECT_EQ(services.at(101), Bytes(sBody.begin(), sBody.end()));
    EXPECT_EQ(sBody.size(), 26u);

    unsigned char buf[32];
    std::fill(std::begin(buf), std::end(buf), 0xAB);
    EXPECT_EQ(BuildServiceDescriptor(buf, 20, "libbraidmill", "service 101"), -1);
    for (unsigned char c : buf) {
        EXPECT_EQ(c, 0xAB) << "refused body leaves the buffer untouched";
    }
    EXPECT_EQ(BuildServiceDescriptor(buf, 26, "libbraidmill", "service 101"), 26);
}

TEST(CPsiBuilderTest, EmptySetHoldsPatSdtAndNit)
{
    CPsiBuilder builder;
    const Bytes vPsi = BuildSet(builder);
    ASSERT_EQ(vPsi.size(), 3u * kTsPacketSize);
    EXPECT_TRUE(ParsePat(SectionsOnPid(vPsi, kPidPat)).empty());
    EXPECT_TRUE(ParseSdt(SectionsOnPid(vPsi, kPidSdt)).empty());
    EXPECT_EQ(SectionsOnPid(vPsi, kPidNit).size(), 1u);
}

TEST(CPsiBuilderTest, TwelveProgramsKeepEveryTableWithSectionsOverSeveralPackets)
{
    std::vector<std::vector<int>> maps(3, FreshMap());
    CPsiBuilder builder;
    for (int nInput = 0; nInput < 3; ++nInput) {
        std::vector<_PROGRAM_INFO> programs;
        for (int k = 0; k < 4; ++k) {
            programs.push_back(
                Program(0x100 + k * 16, {{0x101 + k * 16, 0x02}, {0x102 + k * 16, 0x04}}));
        }
        builder.AddInput(nInput + 1, programs, maps[size_t(nInput)].data());
    }
    const Bytes vPsi = BuildSet(builder);

    const std::map<int, int> pat = ParsePat(SectionsOnPid(vPsi, kPidPat));
    ASSERT_EQ(pat.size(), 12u);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(pat.at(101 + i), 1011 + 10 * i);
        const std::vector<Bytes> pmt = SectionsOnPid(vPsi, 1011 + 10 * i);
        ASSERT_EQ(pmt.size(), 1u);
        EXPECT_EQ(ParsePmt(pmt[0]).nProgram, 101 + i);
    }
    EXPECT_EQ(maps[2][0x132], 1124) << "third input, fourth program, second stream";

    // 12 services of 33 bytes: the SDT section runs over three packets.
    int nSdtPackets = 0;
    for (size_t nOff = 0; nOff < vPsi.size(); nOff += kTsPacketSize) {
        CTsPacket packet;
        packet.SetData(const_cast<unsigned char*>(&vPsi[nOff]));
        if (packet.GetPid() == kPidSdt) {
            EXPECT_EQ(packet.GetPayloadUnitStartIndicator(), nSdtPackets == 0);
            EXPECT_EQ(packet.GetAdaptationFieldControl(), 1);
            ++nSdtPackets;
        }
    }
    EXPECT_EQ(nSdtPackets, 3);
    const std::map<int, Bytes> services = ParseSdt(SectionsOnPid(vPsi, kPidSdt));
    ASSERT_EQ(services.size(), 12u);
    EXPECT_EQ(services.at(112).size(), 26u);
}

TEST(CPsiBuilderTest, SdtBeyondOneSectionKeepsEveryServiceDescriptor)
{
    std::vector<int> map = FreshMap();
    std::vector<_PROGRAM_INFO> programs;
    for (int k = 0; k < 70; ++k) {
        programs.push_back(Program(0x100 + k, {{0x400 + k, 0x02}}));
    }
    CPsiBuilder builder;
    builder.AddInput(1, programs, map.data());
    const Bytes vPsi = BuildSet(builder);

    const std::vector<Bytes> sdt = SectionsOnPid(vPsi, kPidSdt);
    ASSERT_EQ(sdt.size(), 3u);
    for (size_t i = 0; i < sdt.size(); ++i) {
        CPsiSection section;
        section.SetData(sdt[i].data(), int(sdt[i].size()));
        EXPECT_EQ(section.GetSectionNumber(), i);
        EXPECT_EQ(section.GetLastSectionNumber(), 2);
        EXPECT_LE(sdt[i].size(), 1024u);
    }
    const std::map<int, Bytes> services = ParseSdt(sdt);
    ASSERT_EQ(services.size(), 70u);
    for (const auto& service : services) {
        EXPECT_EQ(service.second.size(), 26u) << "service " << service.first;
    }
    EXPECT_EQ(ParsePat(SectionsOnPid(vPsi, kPidPat)).size(), 70u);
}

TEST(CPsiBuilderTest, ProgramsBeyondThePidSpaceAreLeftOutAndCounted)
{
    CLogCapture capture;
    std::vector<int> map = FreshMap();
    std::vector<_PROGRAM_INFO> programs;
    for (int k = 0; k < 800; ++k) {
        programs.push_back(Program(kPidNull, {{k * 2, 0x02}, {k * 2 + 1, 0x04}}));
    }
    CPsiBuilder builder;
    builder.AddInput(1, programs, map.data());

    // PMT PIDs 1011 ... 8181 fit; 8191 and beyond do not.
    ASSERT_EQ(builder.GetPrograms().size(), 718u);
    EXPECT_EQ(builder.GetPrograms().back().nPmtPid, 8181);
    EXPECT_EQ(builder.GetPrograms().back().nProgramNumber, 818);
    EXPECT_EQ(builder.GetOmittedCount(), 82);
    EXPECT_EQ(map[718 * 2], -1) << "a left-out program's streams stay untranslated";
    ASSERT_EQ(g_vLogLines.size(), 82u);
    EXPECT_EQ(g_vLogLines[0].rfind("2 mux: input 1 program 719 (PMT PID", 0), 0u) << g_vLogLines[0];
    ASSERT_EQ(builder.GetOmitted().size(), 82u);
    EXPECT_EQ(builder.GetOmitted()[0].nInput, 1);
    EXPECT_EQ(builder.GetOmitted()[0].nProgramNumber, -1) << "no descriptors: number unknown";

    const Bytes vPsi = BuildSet(builder);
    const std::vector<Bytes> pat = SectionsOnPid(vPsi, kPidPat);
    EXPECT_EQ(pat.size(), 3u) << "253 programs per PAT section";
    EXPECT_EQ(ParsePat(pat).size(), 718u);
    EXPECT_EQ(ParseSdt(SectionsOnPid(vPsi, kPidSdt)).size(), 718u);
}

TEST(CPsiBuilderTest, ProgramOfManyStreamsPushesTheNextPmtPidPastItsPids)
{
    std::vector<int> map = FreshMap();
    std::vector<_ES_INFO> vEs;
    for (int k = 0; k < 12; ++k) {
        vEs.push_back({0x200 + k, 0x06});
    }
    vEs.push_back({0x200, 0x06}); // listed twice: one PMT entry
    CPsiBuilder builder;
    builder.AddInput(1, {Program(0x100, vEs), Program(0x300, {{0x301, 0x02}})}, map.data());
    const std::vector<COutProgram>& programs = builder.GetPrograms();
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(programs[0].vEs.size(), 12u);
    EXPECT_EQ(programs[0].vEs.back().nPid, 1024);
    EXPECT_EQ(programs[1].nPmtPid, 1031);
    EXPECT_EQ(map[0x301], 1033);
}

// Eight streams fill a program's block (PMT PID, PCR PID, then PMT PID + 2
// to + 9); a ninth runs on into the next block, which the next program skips.
TEST(CPsiBuilderTest, NinthStreamRunsPastTheBlockAndTheNextProgramSkipsIt)
{
    for (const int nStreams : {8, 9}) {
        std::vector<int> map = FreshMap();
        std::vector<_ES_INFO> vEs;
        for (int k = 0; k < nStreams; ++k) {
            vEs.push_back({0x200 + k, 0x06});
        }
        CPsiBuilder builder;
        builder.AddInput(1, {Program(0x1FF, vEs), Program(0x300, {{0x301, 0x02}})}, map.data());
        const int nNextPmt = nStreams == 8 ? 1021 : 1031;
        EXPECT_EQ(map[0x200 + nStreams - 1], 1012 + nStreams) << nStreams;
        EXPECT_EQ(map[0x301], nNextPmt + 2) << nStreams;
        const Bytes vPsi = BuildSet(builder);
        EXPECT_EQ(ParsePat(SectionsOnPid(vPsi, kPidPat)),
                  (std::map<int, int>{{101, 1011}, {102, nNextPmt}}));
        const std::vector<Bytes> pmt = SectionsOnPid(vPsi, 1011);
        ASSERT_EQ(pmt.size(), 1u);
        const CParsedPmt parsed = ParsePmt(pmt[0]);
        ASSERT_EQ(parsed.vEs.size(), size_t(nStreams));
        EXPECT_EQ(parsed.vEs.back().second, 1012 + nStreams);
        EXPECT_EQ(parsed.nPcrPid, 1012);
    }
}

TEST(CPsiBuilderTest, ProgramWithMoreStreamsThanAPmtCarriesIsLeftOut)
{
    CLogCapture capture;
    std::vector<int> map = FreshMap();
    std::vector<_ES_INFO> vEs;
    for (int k = 0; k < 202; ++k) {
        vEs.push_back({0x200 + k, 0x06});
    }
    std::vector<_ES_INFO> vFull(vEs.begin(), vEs.begin() + 201);
    CPsiBuilder builder;
    builder.AddInput(1, {Program(0x100, vEs), Program(0x100, vFull)}, map.data());
    ASSERT_EQ(builder.GetPrograms().size(), 1u);
    EXPECT_EQ(builder.GetOmittedCount(), 1);
    EXPECT_EQ(builder.GetPrograms()[0].nProgramNumber, 101);
    const std::vector<Bytes> pmt = SectionsOnPid(BuildSet(builder), 1011);
    ASSERT_EQ(pmt.size(), 1u);
    EXPECT_EQ(ParsePmt(pmt[0]).vEs.size(), 201u);
}
