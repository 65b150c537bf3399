#include "input/CPsiAnalyzer.h"

#include "input/CPacketFifo.h"
#include "log/CLogger.h"
#include "support/CPacketBuilder.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tsb::CPacketBuilder;
using tsb::Packet;

namespace {

constexpr uint16_t kPmtPid1 = 0x1000;
constexpr uint16_t kPmtPid2 = 0x1001;

std::vector<Packet> Pat(const std::vector<tsb::PatEntry>& programs, uint8_t nCc = 0)
{
    return CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, programs), nCc);
}

std::vector<Packet> Pmt(uint16_t nPmtPid, uint16_t nProgram, uint16_t nPcrPid,
                        const std::vector<tsb::EsEntry>& es, uint8_t nCc = 0)
{
    return CPacketBuilder::Packetize(nPmtPid, CPacketBuilder::PmtSection(nProgram, nPcrPid, es),
                                     nCc);
}

size_t Count(const std::string& sText, const std::string& sWhat)
{
    size_t nCount = 0;
    for (size_t n = sText.find(sWhat); n != std::string::npos; n = sText.find(sWhat, n + 1)) {
        ++nCount;
    }
    return nCount;
}

// The analyzer as the input module drives it: one pass after every packet
// stored, over the FIFO's queue.
class CPsiAnalyzerTest : public ::testing::Test
{
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override
    {
        if (!m_bCaptured) {
            testing::internal::GetCapturedStdout();
        }
    }

    // Stores the packets one by one, a pass after each; the number of the
    // pass that completed (1-based), or 0.
    int Feed(const std::vector<Packet>& packets)
    {
        for (const Packet& packet : packets) {
            ++m_nPasses;
            m_fifo.PushOverwriting(packet.data());
            CPacketFifo::CQueueLock lock(m_fifo);
            if (m_analyzer.Analyze(lock.Queue(), lock.PushCount()) && m_nCompletedAt == 0) {
                m_nCompletedAt = m_nPasses;
            }
        }
        CInputTables tables;
        m_analyzer.GetTables(tables);
        m_programs = std::move(tables.vPrograms);
        m_descriptors = std::move(tables.vDescriptors);
        return m_nCompletedAt;
    }
    std::string Output()
    {
        m_bCaptured = true;
        return testing::internal::GetCapturedStdout();
    }

    CPacketFifo m_fifo{kInputFifoBytes};
    std::vector<_PROGRAM_INFO> m_programs;          // of the tables after the last Feed
    std::vector<CProgramDescriptors> m_descriptors; // parallel to m_programs
    CPsiAnalyzer m_analyzer;
    int m_nPasses = 0;
    int m_nCompletedAt = 0;
    bool m_bCaptured = false;
};

} // namespace

TEST_F(CPsiAnalyzerTest, CompletesInThePassOfTheLastPmtAndPrintsThePatOnce)
{
    Feed(Pat({{1, kPmtPid1}, {2, kPmtPid2}}));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}));
    EXPECT_EQ(m_nCompletedAt, 0);
    Feed(Pmt(kPmtPid2, 2, 0x200, {{2, 0x200, {}}}));
    EXPECT_EQ(m_nCompletedAt, 3);
    Feed({CPacketBuilder::Null()}); // later passes stay complete
    EXPECT_EQ(Count(Output(), "PAT "), 1u);
    ASSERT_EQ(m_programs.size(), 2u);
    EXPECT_EQ(m_programs[0].nPmtPid, kPmtPid1);
    EXPECT_EQ(m_programs[1].nPmtPid, kPmtPid2);
}

TEST_F(CPsiAnalyzerTest, CatAheadOfThePatAndTheSdtsFreeCaModeReachTheTables)
{
    // The CAT names EMM PID 0x1F00 and the PMT an ECM PID named twice, and
    // one of the SI: no PID to carry.
    Feed(CPacketBuilder::Packetize(kPidCat, CPacketBuilder::CatSection({{0x09, {0, 1, 0xFF, 0}}})));
    tsb::SdtService scrambled{1, "P", "N"};
    scrambled.bFreeCa = true;
    Feed(CPacketBuilder::Packetize(kPidSdt, CPacketBuilder::SdtSection(1, 0, {scrambled})));
    Feed(Pat({{1, kPmtPid1}}));
    const tsb::Descriptor ecm{0x09, {0, 1, 0xE3, 0}}, si{0x09, {0, 1, 0xE0, 0x11}};
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {ecm, si}}, {4, 0x101, {ecm}}}));
    CInputTables tables;
    m_analyzer.GetTables(tables);
    EXPECT_EQ(tables.CaPids(), (std::vector<int>{0x0300, 0x1F00}));
    EXPECT_TRUE(tables.services[1].bFreeCa);
}

TEST_F(CPsiAnalyzerTest, ReportsTheTablesInTheSystemsOwnBytes)
{
    Feed(Pat({{0, 0x10}, {1, kPmtPid1}, {2, kPmtPid2}}));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}, {4, 0x101, {}}}));
    const std::string sExpected =
        // "PAT 解析完毕，节目数量：3" in GBK; program 0 is counted
        "PAT \xbd\xe2\xce\xf6\xcd\xea\xb1\xcf\xa3\xac\xbd\xda\xc4\xbf\xca\xfd\xc1\xbf\xa3\xba"
        "3\n"
        // "=============== PMT 解析信息 节目号:0x01 (1) ==============="
        "=============== PMT \xbd\xe2\xce\xf6\xd0\xc5\xcf\xa2 \xbd\xda\xc4\xbf\xba\xc5"
        ":0x01 (1) ===============\n"
        "PCR_PID=0x100 (256)\n"
        "es_pid=0x100 (256)  stream_type=0x2\n"
        "es_pid=0x101 (257)  stream_type=0x4\n"
        "===========================================================\n";
    EXPECT_EQ(Output(), sExpected);
    ASSERT_EQ(m_programs.size(), 1u);
    EXPECT_EQ(m_programs[0].nPcrPid, 0x100);
    ASSERT_EQ(m_programs[0].vecEsInfo.size(), 2u);
    EXPECT_EQ(m_programs[0].vecEsInfo[0].nPid, 0x100);
    EXPECT_EQ(m_programs[0].vecEsInfo[0].nStreamType, 2);
    EXPECT_EQ(m_programs[0].vecEsInfo[1].nPid, 0x101);
    EXPECT_EQ(m_programs[0].vecEsInfo[1].nStreamType, 4);
}

// A client that takes the library's lines takes the report too, line by
// line at its own level, and nothing reaches standard output behind its back.
TEST_F(CPsiAnalyzerTest, ReportGoesThroughTheLogHandler)
{
    std::vector<std::pair<int, std::string>> vLines;
    SetLogHandler(
        [](int nLevel, const char* szLine, void* pUser) {
            static_cast<std::vector<std::pair<int, std::string>>*>(pUser)->emplace_back(nLevel,
                                                                                        szLine);
        },
        &vLines);
    Feed(Pat({{1, kPmtPid1}}));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}));
    SetLogHandler(nullptr, nullptr);
    EXPECT_EQ(Output(), "");
    ASSERT_EQ(vLines.size(), 5u);
    for (const auto& line : vLines) {
        EXPECT_EQ(line.first, kLogReport) << line.second;
        EXPECT_EQ(line.second.find('\n'), std::string::npos) << "one line per call";
    }
    EXPECT_EQ(vLines[2].second, "PCR_PID=0x100 (256)");
    EXPECT_EQ(vLines[4].second, std::string(59, '='));
}

TEST_F(CPsiAnalyzerTest, NetworkEntryIsCountedButNeedsNoPmt)
{
    Feed(Pat({{0, 0x10}, {1, kPmtPid1}, {2, kPmtPid2}}));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}));
    EXPECT_EQ(m_nCompletedAt, 0); // program 2 still missing
    Feed(Pmt(kPmtPid2, 2, 0x200, {{2, 0x200, {}}}));
    EXPECT_EQ(m_nCompletedAt, 3);
    EXPECT_EQ(m_programs.size(), 2u);
}

TEST_F(CPsiAnalyzerTest, PmtsStoredAheadOfALatePatStillCount)
{
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}));
    Feed({CPacketBuilder::Null(), CPacketBuilder::Null()});
    EXPECT_EQ(m_nCompletedAt, 0);
    EXPECT_TRUE(m_programs.empty());
    Feed(Pat({{1, kPmtPid1}}));
    EXPECT_EQ(m_nCompletedAt, 4);
    EXPECT_EQ(m_programs.size(), 1u);
}

TEST_F(CPsiAnalyzerTest, ListsProgramsInTheOrderTheirPmtsComplete)
{
    Feed(Pat({{1, kPmtPid1}, {2, kPmtPid2}}));
    Feed(Pmt(kPmtPid2, 2, 0x200, {{2, 0x200, {}}}));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}));
    ASSERT_NE(m_nCompletedAt, 0);
    ASSERT_EQ(m_programs.size(), 2u);
    EXPECT_EQ(m_programs[0].nPmtPid, kPmtPid2);
    EXPECT_EQ(m_programs[0].nPcrPid, 0x200);
    EXPECT_EQ(m_programs[1].nPmtPid, kPmtPid1);
    // Log lines name a program by its number, which its place no longer tells.
    ASSERT_EQ(m_descriptors.size(), 2u);
    EXPECT_EQ(m_descriptors[0].nProgramNumber, 2);
    EXPECT_EQ(m_descriptors[1].nProgramNumber, 1);
}

TEST_F(CPsiAnalyzerTest, TwoProgramsOnOnePmtPidCompleteFromTheSamePackets)
{
    Feed(Pat({{1, kPmtPid1}, {2, kPmtPid1}}));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}, 0));
    EXPECT_EQ(m_nCompletedAt, 0);
    Feed(Pmt(kPmtPid1, 2, 0x200, {{2, 0x200, {}}}, 1));
    EXPECT_EQ(m_nCompletedAt, 3);
    ASSERT_EQ(m_programs.size(), 2u);
    EXPECT_EQ(m_programs[0].nPcrPid, 0x100);
    EXPECT_EQ(m_programs[1].nPcrPid, 0x200);
}

TEST_F(CPsiAnalyzerTest, PmtDecodedAgainIsPrintedAgainButListedOnce)
{
    Feed(Pat({{1, kPmtPid1}, {2, kPmtPid2}}));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}, 0));
    // A continuity jump makes libdvbpsi deliver the same table again.
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}, 7));
    Feed(Pmt(kPmtPid2, 2, 0x200, {{2, 0x200, {}}}));
    EXPECT_EQ(m_nCompletedAt, 4);
    EXPECT_EQ(Count(Output(), ":0x01 (1) "), 2u);
    ASSERT_EQ(m_programs.size(), 2u);
    EXPECT_EQ(m_programs[0].nPmtPid, kPmtPid1);
    EXPECT_EQ(m_programs[1].nPmtPid, kPmtPid2);
}

TEST_F(CPsiAnalyzerTest, NewPatVersionReplacesThePrograms)
{
    Feed(Pat({{1, kPmtPid1}}, 0));
    Feed(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{5, kPmtPid2}}, 1), 1));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}));
    EXPECT_EQ(m_nCompletedAt, 0) << "program 1 has left the PAT";
    Feed(Pmt(kPmtPid2, 5, 0x200, {{2, 0x200, {}}}));
    EXPECT_EQ(m_nCompletedAt, 4);
    ASSERT_EQ(m_programs.size(), 1u);
    EXPECT_EQ(m_programs[0].nPmtPid, kPmtPid2);
}

TEST_F(CPsiAnalyzerTest, PatOfTheNetworkOnlyNeverCompletes)
{
    Feed(Pat({{0, 0x10}}));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}));
    EXPECT_EQ(m_nCompletedAt, 0);
    EXPECT_TRUE(m_programs.empty());
}

TEST_F(CPsiAnalyzerTest, PatFoundAfterTheFifoOverflowed)
{
    // More packets than the FIFO holds go by before the tables: the oldest
    // are dropped, the analysis goes on.
    const std::vector<Packet> nulls(kInputFifoBytes / kTsPacketSize + 500, CPacketBuilder::Null());
    Feed(nulls);
    Feed(Pat({{1, kPmtPid1}}));
    Feed(Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}}));
    EXPECT_EQ(m_nCompletedAt, m_nPasses);
    EXPECT_EQ(m_programs.size(), 1u);
}

TEST(CPsiAnalyzerLifeTest, DestroyedInEveryStateReleasesItsDecoders)
{
    // Leaks or double detaches show under the address sanitizer.
    testing::internal::CaptureStdout();
    for (int nState = 0; nState < 3; ++nState) {
        CPacketFifo fifo(100 * kTsPacketSize);
        CPsiAnalyzer analyzer;
        std::vector<Packet> packets{CPacketBuilder::Null()};
        if (nState >= 1) {
            packets = Pat({{1, kPmtPid1}, {2, kPmtPid2}});
        }
        if (nState >= 2) {
            const auto pmt = Pmt(kPmtPid1, 1, 0x100, {{2, 0x100, {}}});
            packets.insert(packets.end(), pmt.begin(), pmt.end());
        }
        for (const Packet& packet : packets) {
            fifo.PushOverwriting(packet.data());
            CPacketFifo::CQueueLock lock(fifo);
            EXPECT_FALSE(analyzer.Analyze(lock.Queue(), lock.PushCount()));
        }
    }
    testing::internal::GetCapturedStdout();
}

namespace {

// An SDT naming service 1 "N" of provider "P", one byte of its service
// descriptor (from offset 16 of the section) set to nValue.
std::vector<Packet> SdtWith(size_t nAt, uint8_t nValue)
{
    tsb::Bytes s = CPacketBuilder::SdtSection(1, 0, {{1, "P", "N", 0x19}});
    s[nAt] = nValue;
    s.resize(s.size() - 4);
    CPacketBuilder::AppendCrc(s);
    return CPacketBuilder::Packetize(kPidSdt, s);
}

struct CServiceCase
{
    const char* szName;
    size_t nAt;
    uint8_t nValue;
    bool bTaken;
};

class CPsiAnalyzerSdtTest : public CPsiAnalyzerTest,
                            public ::testing::WithParamInterface<CServiceCase>
{
};

} // namespace

TEST_P(CPsiAnalyzerSdtTest, ServiceDescriptorIsTakenOnlyWhenItsLengthsFit)
{
    Feed(SdtWith(GetParam().nAt, GetParam().nValue));
    CInputTables tables;
    m_analyzer.GetTables(tables);
    ASSERT_EQ(tables.services.count(1), GetParam().bTaken ? 1u : 0u);
    if (GetParam().bTaken) {
        EXPECT_EQ(tables.services.at(1), (CServiceInfo{"P", "N", 0x16}));
    }
}

INSTANTIATE_TEST_SUITE_P(Bodies, CPsiAnalyzerSdtTest,
                         ::testing::Values(CServiceCase{"Whole", 18, 0x16, true},
                                           CServiceCase{"ProviderPastTheEnd", 19, 9, false},
                                           CServiceCase{"NamePastTheEnd", 21, 5, false}),
                         [](const ::testing::TestParamInfo<CServiceCase>& param) {
                             return std::string(param.param.szName);
                         });
