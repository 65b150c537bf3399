#include "mux/PmtDescriptors.h"

#include "input/CInputModule.h"
#include "log/CLogger.h"
#include "mux/CPsiBuilder.h"
#include "support/CPacketBuilder.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using tsb::CPacketBuilder;

namespace {

using Bytes = std::vector<uint8_t>;

CPmtDescriptor Desc(uint8_t nTag, size_t nLen, uint8_t nFill = 0)
{
    return CPmtDescriptor{nTag, Bytes(nLen, nFill)};
}

// A descriptor loop as a PMT carries it.
Bytes Raw(const CPmtDescriptorList& vList)
{
    Bytes v;
    for (const CPmtDescriptor& d : vList) {
        v.push_back(d.nTag);
        v.push_back(uint8_t(d.vData.size()));
        v.insert(v.end(), d.vData.begin(), d.vData.end());
    }
    return v;
}
Bytes Raw(const std::vector<tsb::Descriptor>& vList)
{
    CPmtDescriptorList v;
    for (const tsb::Descriptor& d : vList) {
        v.push_back(CPmtDescriptor{d.nTag, d.data});
    }
    return Raw(v);
}

std::vector<std::string> g_vLines;
void Capture(int nLevel, std::string sMessage)
{
    // The inputs' table report is no message about the descriptors.
    if (nLevel != kLogReport) {
        g_vLines.push_back(std::to_string(nLevel) + " " + sMessage);
    }
}

// Keeps the log lines of one test and gives the logger back afterwards.
class CLogLines
{
public:
    CLogLines()
    {
        g_vLines.clear();
        m_pPrevious = LogOutput;
        LogOutput = Capture;
    }
    ~CLogLines() { LogOutput = m_pPrevious; }
    const std::vector<std::string>& Lines() const { return g_vLines; }

private:
    LogOutputFn m_pPrevious;
};

// The PSI set with continuity counters running per PID, as the mux thread
// stamps them, read back by the test-side reader.
tsr::CTsReader ReadBack(const CPsiBuilder& builder)
{
    std::vector<unsigned char> vPsi;
    EXPECT_TRUE(builder.BuildPackets(vPsi));
    std::vector<int> vCc(kPidCount, 0);
    for (size_t nOff = 0; nOff + kTsPacketSize <= vPsi.size(); nOff += kTsPacketSize) {
        unsigned char* p = &vPsi[nOff];
        const int nPid = ((p[1] & 0x1F) << 8) | p[2];
        p[3] = uint8_t((p[3] & 0xF0) | (vCc[size_t(nPid)]++ & kCcMask));
    }
    tsr::CTsReader reader;
    reader.LoadBuffer(vPsi.data(), vPsi.size());
    EXPECT_EQ(reader.GetPsiErrors().nCrc, 0);
    EXPECT_EQ(reader.GetPsiErrors().nIncomplete, 0);
    return reader;
}

// The PMT sections of one PID, with their sizes.
std::vector<size_t> SectionSizes(const tsr::CTsReader& reader, uint16_t nPid)
{
    std::vector<size_t> vSizes;
    for (const tsr::Section& section : reader.GetSections()) {
        if (section.nPid == nPid) {
            vSizes.push_back(section.bytes.size());
        }
    }
    return vSizes;
}

// Fills an input module with the given packets, one analysis pass each, and
// checks that its programs are then known.
void Feed(CInputModule& module, const std::vector<tsb::Packet>& vPackets)
{
    testing::internal::CaptureStdout(); // the analyzer's report
    for (tsb::Packet packet : vPackets) {
        module.RecvOnePacket(packet.data(), kTsPacketSize);
    }
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(module.IsReady());
    ASSERT_EQ(module.GetReadyTables().vDescriptors.size(), module.GetDemuxInfo()->size());
}

void Append(std::vector<tsb::Packet>& vTo, const std::vector<tsb::Packet>& vFrom)
{
    vTo.insert(vTo.end(), vFrom.begin(), vFrom.end());
}

} // namespace

TEST(PmtDescriptorsTest, LeavesOutPrivateThenOthersThenEssentialFromTheLastStreamBack)
{
    // Each descriptor has a length of its own, so that the bytes tell which went.
    CProgramDescriptors all;
    all.vProgramInfo = {Desc(0x0E, 1), Desc(0x88, 2)};
    all.vEs = {{Desc(0x0A, 3), Desc(0x83, 4), Desc(0x11, 5)},
               {Desc(0x6A, 6), Desc(0x52, 7), Desc(0x90, 8), Desc(0x28, 9)}};
    // The order in which they are to go, by tag.
    const std::vector<uint8_t> vOrder = {0x90, 0x83, 0x88, 0x28, 0x11, 0x0E, 0x52, 0x6A, 0x0A};
    const int nFull = PmtSectionBytes(all, 2);
    EXPECT_EQ(nFull, 16 + 2 * 5 + 9 * 2 + 45);

    int nLimit = nFull;
    for (size_t nGone = 1; nGone <= vOrder.size(); ++nGone) {
        // One byte short of keeping the descriptor that is to go next.
        nLimit -= 1;
        CProgramDescriptors d = all;
        const CPmtFit fit = FitPmtSection(d, 2, nLimit);
        EXPECT_EQ(fit.nDropped, int(nGone));
        EXPECT_EQ(fit.nBytesBefore, nFull);
        EXPECT_LE(fit.nBytesAfter, nLimit);
        EXPECT_EQ(fit.nBytesAfter, PmtSectionBytes(d, 2));

        std::vector<uint8_t> vLeft;
        for (const CPmtDescriptorList* pList : {&d.vProgramInfo, &d.vEs[0], &d.vEs[1]}) {
            for (const CPmtDescriptor& desc : *pList) {
                vLeft.push_back(desc.nTag);
            }
        }
        std::vector<uint8_t> vExpected;
        for (uint8_t nTag : {0x0E, 0x88, 0x0A, 0x83, 0x11, 0x6A, 0x52, 0x90, 0x28}) {
            if (std::find(vOrder.begin(), vOrder.begin() + long(nGone), nTag) ==
                vOrder.begin() + long(nGone)) {
                vExpected.push_back(nTag); // still there, in PMT order
            }
        }
        EXPECT_EQ(vLeft, vExpected) << nGone << " left out";
        nLimit = fit.nBytesAfter;
    }

    CProgramDescriptors d = all;
    EXPECT_EQ(FitPmtSection(d, 2, nFull).nDropped, 0) << "a section that fits keeps everything";
}

TEST(PmtDescriptorsTest, PassedCaDescriptorsNameOutputPidsAndGoLastWhereRoomIsShort)
{
    CProgramDescriptors d;
    d.vProgramInfo = {CPmtDescriptor{0x09, {0x0B, 0x00, 0xE3, 0x00, 0x77}}, Desc(0x0E, 1)};
    d.vEs = {{CPmtDescriptor{0x09, {0x01, 0x00, 0xE3, 0x01}}, Desc(0x11, 2)},
             {CPmtDescriptor{0x09, {0x01, 0x00, 0xE0, 0x10}}}}; // an SI PID: names nothing
    EXPECT_EQ(PassCaDescriptors(d, [](int nPid) { return nPid + 0x100; }), 1);
    EXPECT_EQ(Raw(d.vProgramInfo), (Bytes{0x09, 5, 0x0B, 0x00, 0xE4, 0x00, 0x77, 0x0E, 1, 0}));
    EXPECT_EQ(Raw(d.vEs[0]), (Bytes{0x09, 4, 0x01, 0x00, 0xE4, 0x01, 0x11, 2, 0, 0}));
    EXPECT_TRUE(d.vEs[1].empty());
    // Without it the program cannot be descrambled: the others go first.
    // (0x11 takes 4 bytes: 5 fewer need two left out.)
    const CPmtFit fit = FitPmtSection(d, 2, PmtSectionBytes(d, 2) - 5);
    EXPECT_EQ(fit.nDropped, 2);
    ASSERT_EQ(d.vEs[0].size(), 1u);
    EXPECT_EQ(d.vEs[0][0].nTag, 0x09);
    ASSERT_EQ(d.vProgramInfo.size(), 1u);
    EXPECT_EQ(d.vProgramInfo[0].nTag, 0x09);
}

TEST(PmtDescriptorsTest, SectionOfExactlyTheLimitKeepsAllAndOneByteMoreLosesOne)
{
    // 16 + 5 + 4 descriptors: 3 of 255 bytes and one to make up the rest.
    for (int nExtra : {0, 1}) {
        CLogLines log;
        const size_t nLast = size_t(kMaxSectionBytes - 16 - 5 - 3 * 257 - 2 + nExtra);
        const std::vector<tsb::Descriptor> vEs = {{0x0A, Bytes(255, 'a')},
                                                  {0x6A, Bytes(255, 'b')},
                                                  {0x83, Bytes(255, 'c')},
                                                  {0x52, Bytes(nLast, 'd')}};
        CProgramDescriptors in;
        in.vEs.push_back({});
        for (const tsb::Descriptor& d : vEs) {
            in.vEs[0].push_back(CPmtDescriptor{d.nTag, d.data});
        }
        std::vector<int> map(kPidCount, -1);
        CPsiBuilder builder;
        const std::vector<CProgramDescriptors> vIn = {in};
        builder.AddInput(1, {_PROGRAM_INFO{0x100, 0x20, {{0x100, 0x06}}}}, map.data(), &vIn);
        const tsr::CTsReader reader = ReadBack(builder);
        const std::vector<size_t> vSizes = SectionSizes(reader, 1011);
        ASSERT_EQ(vSizes.size(), 1u) << "a PMT has one section";
        const tsr::Pmt* pPmt = reader.FindPmt(101);
        ASSERT_NE(pPmt, nullptr);
        ASSERT_EQ(pPmt->streams.size(), 1u);
        if (nExtra == 0) {
            EXPECT_EQ(vSizes[0], size_t(kMaxSectionBytes));
            EXPECT_EQ(pPmt->streams[0].descriptors, Raw(vEs));
            EXPECT_TRUE(log.Lines().empty());
        } else {
            // The private descriptor goes; the rest stays in order.
            EXPECT_EQ(vSizes[0], size_t(kMaxSectionBytes - 256));
            EXPECT_EQ(pPmt->streams[0].descriptors, Raw({vEs[0], vEs[1], vEs[3]}));
            ASSERT_EQ(log.Lines().size(), 1u);
            EXPECT_EQ(log.Lines()[0],
                      "1 mux: program 101 (input 1 program 1, PMT PID 0x0020): 1 descriptors "
                      "left out of its PMT, whose section would be 1025 bytes (at most 1024)");
        }
    }
}

TEST(PmtDescriptorsTest, InputDescriptorsReachTheOutputPmtsWithoutCaDescriptors)
{
    CLogLines log;
    const tsb::Descriptor ca{0x09, {0x0B, 0x00, 0xE5, 0x00}}; // CA system 0x0B00, ECM PID 0x500
    const tsb::Descriptor reg{0x05, {'A', 'C', '-', '3'}};
    const tsb::Descriptor ac3{0x6A, {0x00}};
    const tsb::Descriptor deu{0x0A, {'d', 'e', 'u', 0x00}};
    const tsb::Descriptor id{0x52, {0x01}};
    const tsb::Descriptor priv{0xC3, {0x12, 0x34}};
    // Program 2's PMT is complete first, so it becomes the first output program.
    const std::vector<tsb::EsEntry> vScrambled = {{0x02, 0x200, {ca, id}},
                                                  {0x06, 0x201, {ac3, deu, ca}}};
    const std::vector<tsb::EsEntry> vClear = {{0x1B, 0x300, {}},
                                              {0x06, 0x301, {reg, ac3, deu, priv}}};
    std::vector<tsb::Packet> vPackets = CPacketBuilder::Packetize(
        kPidPat, CPacketBuilder::PatSection(1, {{0, 0x10}, {1, 0x1000}, {2, 0x1001}}));
    Append(vPackets, CPacketBuilder::Packetize(
                         0x1001, CPacketBuilder::PmtSection(2, 0x300, vClear, 0, {priv})));
    Append(vPackets, CPacketBuilder::Packetize(
                         0x1000, CPacketBuilder::PmtSection(1, 0x200, vScrambled, 0, {ca, reg})));

    CInputModule module;
    Feed(module, vPackets);
    CPsiBuilder builder;
    builder.AddInput(1, *module.GetDemuxInfo(), module.GetPidMapList(),
                     &module.GetReadyTables().vDescriptors);
    const tsr::CTsReader reader = ReadBack(builder);

    const tsr::Pmt* pClear = reader.FindPmt(101);
    ASSERT_NE(pClear, nullptr);
    EXPECT_EQ(pClear->programInfo, Raw({priv}));
    ASSERT_EQ(pClear->streams.size(), 2u);
    EXPECT_EQ(pClear->streams[0].nPid, 1013);
    EXPECT_TRUE(pClear->streams[0].descriptors.empty());
    EXPECT_EQ(pClear->streams[1].nStreamType, 0x06);
    EXPECT_EQ(pClear->streams[1].descriptors, Raw({reg, ac3, deu, priv}));

    const tsr::Pmt* pScrambled = reader.FindPmt(102);
    ASSERT_NE(pScrambled, nullptr);
    EXPECT_EQ(pScrambled->programInfo, Raw({reg}));
    ASSERT_EQ(pScrambled->streams.size(), 2u);
    EXPECT_EQ(pScrambled->streams[0].descriptors, Raw({id}));
    EXPECT_EQ(pScrambled->streams[1].descriptors, Raw({ac3, deu}));

    // The line names the input's program_number 1, not its place (second) in the list.
    ASSERT_EQ(log.Lines().size(), 1u) << "one line for the scrambled program, none for the other";
    EXPECT_EQ(log.Lines()[0], "1 mux: program 102 (input 1 program 1, PMT PID 0x1000) is "
                              "scrambled: its CA descriptors are left out, the multiplex does "
                              "not carry its ECM PIDs");
}

TEST(PmtDescriptorsTest, PmtGatheredFromTwoSectionsGoesOutAsOneThatFits)
{
    // Some muxers split a long PMT over sections; the output may have only
    // one, so the user-defined descriptors give way to the languages.
    CLogLines log;
    auto Stream = [](uint16_t nPid, char cLang) {
        return tsb::EsEntry{
            0x06, nPid, {{0x0A, {uint8_t(cLang), 'x', 'x', 0x00}}, {0xE0, Bytes(200, 0xAA)}}};
    };
    std::vector<tsb::EsEntry> vFirst, vSecond;
    for (int i = 0; i < 6; ++i) {
        (i < 3 ? vFirst : vSecond).push_back(Stream(uint16_t(0x100 + i), char('a' + i)));
    }
    std::vector<Bytes> vSections;
    for (int n = 0; n < 2; ++n) {
        Bytes s = CPacketBuilder::PmtSection(1, 0x100, n == 0 ? vFirst : vSecond);
        s[6] = uint8_t(n); // section_number
        s[7] = 1;          // last_section_number
        s.resize(s.size() - 4);
        CPacketBuilder::AppendCrc(s);
        vSections.push_back(s);
    }
    std::vector<tsb::Packet> vPackets =
        CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, 0x1000}}));
    const std::vector<tsb::Packet> v0 = CPacketBuilder::Packetize(0x1000, vSections[0]);
    Append(vPackets, v0);
    Append(vPackets, CPacketBuilder::Packetize(0x1000, vSections[1], uint8_t(v0.size())));

    CInputModule module;
    Feed(module, vPackets);
    ASSERT_EQ(module.GetDemuxInfo()->at(0).vecEsInfo.size(), 6u);
    CPsiBuilder builder;
    builder.AddInput(1, *module.GetDemuxInfo(), module.GetPidMapList(),
                     &module.GetReadyTables().vDescriptors);
    const tsr::CTsReader reader = ReadBack(builder);

    const std::vector<size_t> vSizes = SectionSizes(reader, 1011);
    ASSERT_EQ(vSizes.size(), 1u);
    EXPECT_LE(vSizes[0], size_t(kMaxSectionBytes));
    const tsr::Pmt* pPmt = reader.FindPmt(101);
    ASSERT_NE(pPmt, nullptr);
    ASSERT_EQ(pPmt->streams.size(), 6u);
    // 16 + 6 * (5 + 6 + 202) = 1294: two private descriptors go, from the last stream.
    for (size_t i = 0; i < 6; ++i) {
        const Bytes vLang = {0x0A, 4, uint8_t('a' + i), 'x', 'x', 0x00};
        Bytes vExpected = vLang;
        if (i < 4) {
            vExpected.push_back(0xE0);
            vExpected.push_back(200);
            vExpected.insert(vExpected.end(), 200, 0xAA);
        }
        EXPECT_EQ(pPmt->streams[i].descriptors, vExpected) << "stream " << i;
    }
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_NE(log.Lines()[0].find("program 101 (input 1 program 1, PMT PID 0x1000): 2 "
                                  "descriptors left out of its PMT, whose section would be 1294"),
              std::string::npos)
        << log.Lines()[0];
}
