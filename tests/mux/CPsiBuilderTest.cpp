#include "mux/CPsiBuilder.h"
#include "mux/SiTables.h"

#include "log/CLogger.h"
#include "support/CTsReader.h"
#include "ts/CPsiSection.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

_PROGRAM_INFO Program(int nPcrPid, std::vector<_ES_INFO> vEs, int nPmtPid = 0x20)
{
    return _PROGRAM_INFO{nPcrPid, nPmtPid, std::move(vEs)};
}

std::vector<int> FreshMap()
{
    return std::vector<int>(kPidCount, -1);
}

// The sections carried on one PID of a packet sequence, reassembled: a
// packet with payload_unit_start_indicator starts a section after its
// pointer_field, the packets after it continue it.
std::vector<Bytes> SectionsOnPid(const Bytes& vPackets, int nPid)
{
    std::vector<Bytes> vSections;
    for (size_t nOff = 0; nOff + kTsPacketSize <= vPackets.size(); nOff += kTsPacketSize) {
        CTsPacket packet;
        EXPECT_TRUE(packet.SetData(const_cast<unsigned char*>(&vPackets[nOff])));
        if (packet.GetPid() != nPid) {
            continue;
        }
        uint8_t nLen = 0;
        const unsigned char* pPayload = packet.GetPayload(nLen);
        if (pPayload == nullptr) {
            continue;
        }
        if (packet.GetPayloadUnitStartIndicator()) {
            vSections.emplace_back(pPayload + 1 + pPayload[0], pPayload + nLen);
        } else if (!vSections.empty()) {
            vSections.back().insert(vSections.back().end(), pPayload, pPayload + nLen);
        }
    }
    for (Bytes& s : vSections) {
        const size_t nSize = 3 + (((s[1] & 0x0F) << 8) | s[2]);
        EXPECT_LE(nSize, s.size());
        // Whatever follows the section in its last packet is stuffing.
        for (size_t i = nSize; i < s.size(); ++i) {
            EXPECT_EQ(s[i], 0xFF) << "byte " << i << " after the section";
        }
        s.resize(std::min(nSize, s.size()));
    }
    return vSections;
}

void ExpectValidSection(const Bytes& s, int nTableId)
{
    CPsiSection section;
    ASSERT_TRUE(section.SetData(s.data(), int(s.size())));
    EXPECT_EQ(section.GetTableId(), nTableId);
    EXPECT_TRUE(section.IsComplete());
    EXPECT_TRUE(section.CheckCrc32());
    EXPECT_EQ(section.GetVersionNumber(), 0);
    EXPECT_TRUE(section.GetCurrentNextIndicator());
}

// program_number -> PMT PID from PAT sections.
std::map<int, int> ParsePat(const std::vector<Bytes>& vSections)
{
    std::map<int, int> programs;
    for (const Bytes& s : vSections) {
        ExpectValidSection(s, 0x00);
        for (size_t i = 8; i + 4 + 4 <= s.size(); i += 4) {
            programs[(s[i] << 8) | s[i + 1]] = ((s[i + 2] & 0x1F) << 8) | s[i + 3];
        }
    }
    return programs;
}

struct CParsedPmt
{
    int nProgram = -1;
    int nPcrPid = -1;
    std::vector<std::pair<int, int>> vEs; // stream_type, PID
};

CParsedPmt ParsePmt(const Bytes& s)
{
    ExpectValidSection(s, 0x02);
    CParsedPmt pmt;
    pmt.nProgram = (s[3] << 8) | s[4];
    pmt.nPcrPid = ((s[8] & 0x1F) << 8) | s[9];
    const size_t nInfo = ((s[10] & 0x0F) << 8) | s[11];
    for (size_t i = 12 + nInfo; i + 5 + 4 <= s.size();) {
        pmt.vEs.emplace_back(s[i], ((s[i + 1] & 0x1F) << 8) | s[i + 2]);
        i += 5 + (((s[i + 3] & 0x0F) << 8) | s[i + 4]);
    }
    return pmt;
}

// service_id -> service descriptor body, from SDT sections.
std::map<int, Bytes> ParseSdt(const std::vector<Bytes>& vSections)
{
    std::map<int, Bytes> services;
    for (const Bytes& s : vSections) {
        ExpectValidSection(s, 0x42);
        for (size_t i = 11; i + 5 + 4 <= s.size();) {
            const int nId = (s[i] << 8) | s[i + 1];
            const size_t nLoop = ((s[i + 3] & 0x0F) << 8) | s[i + 4];
            Bytes& body = services[nId];
            if (nLoop >= 2 && s[i + 5] == 0x48) {
                body.assign(s.begin() + long(i) + 7, s.begin() + long(i) + 7 + s[i + 6]);
            }
            i += 5 + nLoop;
        }
    }
    return services;
}

Bytes BuildSet(CPsiBuilder& builder)
{
    Bytes vPsi;
    EXPECT_TRUE(builder.BuildPackets(vPsi));
    EXPECT_EQ(vPsi.size() % kTsPacketSize, 0u);
    return vPsi;
}

std::vector<std::string> g_vLogLines;
void CaptureLog(int nLevel, std::string sMessage)
{
    g_vLogLines.push_back(std::to_string(nLevel) + " " + sMessage);
}

class CLogCapture
{
public:
    CLogCapture()
    {
        g_vLogLines.clear();
        m_pPrevious = LogOutput;
        LogOutput = CaptureLog;
    }
    ~CLogCapture() { LogOutput = m_pPrevious; }

private:
    LogOutputFn m_pPrevious;
};

} // namespace

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
