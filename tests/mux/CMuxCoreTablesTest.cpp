// The engine following its inputs' tables: crafted inputs whose PAT, PMTs
// and SDT change go through CInputModule and CMuxCore, and the output is
// read back with the independent reader.
#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace mtk;
using tsb::CPacketBuilder;
using namespace std::chrono_literals;

namespace {

constexpr uint16_t kPmtA = 0x1000;
constexpr uint16_t kPmtB = 0x1001;
constexpr int kUnitPackets = 3; // packets per crafted PES

// A crafted input, packet by packet, that remembers which numbered stream
// packets it wrote where.
class CScript
{
public:
    void Pat(const std::vector<tsb::PatEntry>& programs, uint8_t nVersion)
    {
        Add(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, programs, nVersion),
                                      NextCc(kPidPat)));
    }
    void Pmt(uint16_t nPmtPid, uint16_t nProgram, uint16_t nPcrPid,
             const std::vector<tsb::EsEntry>& es, uint8_t nVersion)
    {
        Add(CPacketBuilder::Packetize(
            nPmtPid, CPacketBuilder::PmtSection(nProgram, nPcrPid, es, nVersion), NextCc(nPmtPid)));
    }
    void Sdt(const std::vector<tsb::SdtService>& services, uint8_t nVersion)
    {
        Add(CPacketBuilder::Packetize(kPidSdt, CPacketBuilder::SdtSection(1, 0, services, nVersion),
                                      NextCc(kPidSdt)));
    }
    // nTail packets that end a unit begun before, then nUnits whole units;
    // with nPcr >= 0 each unit start carries a PCR, a second apart.
    void Units(uint16_t nPid, int nUnits, int nTail = 0, int64_t nPcr = -1)
    {
        for (int i = 0; i < nTail; ++i) {
            Stream(nPid, false, -1);
        }
        for (int u = 0; u < nUnits; ++u) {
            for (int i = 0; i < kUnitPackets; ++i) {
                Stream(nPid, i == 0, i == 0 && nPcr >= 0 ? nPcr + u * kPcrHz : -1);
            }
        }
    }
    // Position for Numbers.
    size_t Mark() const { return m_vPackets.size(); }
    // The numbers of the stream packets of nPid at positions [nFrom, nTo).
    std::vector<uint32_t> Numbers(uint16_t nPid, size_t nFrom, size_t nTo = SIZE_MAX) const
    {
        std::vector<uint32_t> v;
        for (const auto& entry : m_written) {
            if (entry.second.nPid == nPid && entry.first >= nFrom && entry.first < nTo) {
                v.push_back(entry.second.nNumber);
            }
        }
        return v;
    }
    const std::vector<tsb::Packet>& Packets() const { return m_vPackets; }

private:
    struct CWritten
    {
        uint16_t nPid;
        uint32_t nNumber;
    };
    uint8_t NextCc(uint16_t nPid)
    {
        uint8_t& nCc = m_cc[nPid];
        return nCc++ & kCcMask;
    }
    void Add(const std::vector<tsb::Packet>& packets)
    {
        for (const tsb::Packet& p : packets) {
            m_vPackets.push_back(p);
        }
    }
    void Stream(uint16_t nPid, bool bStart, int64_t nPcr)
    {
        tsb::Header h = On(nPid, NextCc(nPid));
        h.bPusi = bStart;
        const uint32_t nNumber = m_nNext++;
        tsb::Packet p = nPcr >= 0 ? CPacketBuilder::Pcr(h, nPcr, false, tsb::Bytes(176, 0x5A))
                                  : CPacketBuilder::Payload(h, tsb::Bytes(184, 0x5A));
        std::memcpy(&p[184], &nNumber, sizeof(nNumber));
        m_written.emplace(m_vPackets.size(), CWritten{nPid, nNumber});
        m_vPackets.push_back(p);
    }

    std::vector<tsb::Packet> m_vPackets;
    std::map<size_t, CWritten> m_written; // by position
    std::map<uint16_t, uint8_t> m_cc;
    uint32_t m_nNext = 1;
};

class CMuxCoreTablesTest : public ::testing::Test
{
protected:
    // Muxes the script as one input, fed on a thread of its own.
    void Mux(const CScript& script, bool bServiceNames = false)
    {
        CInputModuleIface in;
        in.SetSourceAttribute(_SOURCE_ATTRIBUTE{1, 0, 0});
        CVectorSink sink;
        CMuxCore core;
        core.SetOutputBitRate(8.0f);
        core.SetVirtualClock(true);
        core.SetServiceNames(bServiceNames);
        core.SetOutPutModule(&sink);
        core.AddInputModule(&in);
        std::thread feeder([&] {
            for (const tsb::Packet& p : script.Packets()) {
                Feed(in, p);
            }
            in.StreamEnd();
        });
        ExpectReturnsWithin(
            [&] {
                core.Run();
                core.WaitFinish();
            },
            20s, "the multiplex");
        feeder.join();
        ASSERT_FALSE(core.IsFailed());
        m_out.LoadBuffer(sink.m_vData.data(), sink.m_vData.size());
        ASSERT_TRUE(m_out.IsWholePackets());
        EXPECT_EQ(m_out.GetPsiErrors().nCrc, 0);
        EXPECT_EQ(m_out.GetCcErrors(), 0);
    }

    // The version_numbers of the sections of nPid, each once, in order.
    std::vector<int> Versions(uint16_t nPid) const
    {
        std::vector<int> v;
        for (const tsr::Section& s : m_out.GetSections()) {
            const int nVersion = (s.bytes[5] >> 1) & 0x1F;
            if (s.nPid == nPid && (v.empty() || v.back() != nVersion)) {
                v.push_back(nVersion);
            }
        }
        return v;
    }
    // The numbers of the packets on an output PID, which must start a unit.
    std::vector<uint32_t> Numbers(uint16_t nPid) const
    {
        std::vector<uint32_t> v;
        const std::vector<tsr::Bytes> packets = m_out.GetPackets(nPid);
        if (!packets.empty()) {
            EXPECT_NE(packets[0][1] & 0x40, 0) << "PID " << nPid << " starts in mid-unit";
        }
        for (const tsr::Bytes& p : packets) {
            v.push_back(NumberOf(p.data()));
        }
        return v;
    }
    std::vector<uint16_t> StreamPids(uint16_t nProgram) const
    {
        std::vector<uint16_t> v;
        if (const tsr::Pmt* pPmt = m_out.FindPmt(nProgram)) {
            for (const tsr::PmtStream& s : pPmt->streams) {
                v.push_back(s.nPid);
            }
        }
        return v;
    }

    CLogCapture m_log;
    tsr::CTsReader m_out;
};

} // namespace

TEST_F(CMuxCoreTablesTest, PmtVersionsAddAndRemoveAStream)
{
    CScript s;
    s.Pat({{1, kPmtA}}, 0);
    s.Pmt(kPmtA, 1, 0x100, {{0x02, 0x100, {}}, {0x04, 0x101, {}}}, 0);
    s.Units(0x100, 4);
    s.Units(0x101, 4);
    s.Units(0x102, 2); // not announced yet
    const size_t nAdded = s.Mark();
    s.Pmt(kPmtA, 1, 0x100, {{0x02, 0x100, {}}, {0x04, 0x101, {}}, {0x06, 0x102, {}}}, 1);
    s.Units(0x100, 4);
    s.Units(0x101, 4);
    s.Units(0x102, 4);
    const size_t nRemoved = s.Mark();
    s.Pmt(kPmtA, 1, 0x100, {{0x02, 0x100, {}}, {0x06, 0x102, {}}}, 2);
    s.Units(0x100, 4);
    s.Units(0x101, 4); // no longer announced
    s.Units(0x102, 4);
    Mux(s);

    EXPECT_EQ(Versions(1011), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Versions(kPidPat), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(StreamPids(101), (std::vector<uint16_t>{1013, 1015}));
    EXPECT_EQ(Numbers(1013), s.Numbers(0x100, 0));
    EXPECT_EQ(Numbers(1014), s.Numbers(0x101, 0, nRemoved));
    EXPECT_EQ(Numbers(1015), s.Numbers(0x102, nAdded));
    EXPECT_EQ(CLogCapture::Count("1 mux: input 1 program 1: stream PID 0x0102 -> 0x03F7"), 1);
}

TEST_F(CMuxCoreTablesTest, PmtMovingAStreamAndItsPcrIsFollowed)
{
    CScript s;
    s.Pat({{1, kPmtA}}, 0);
    s.Pmt(kPmtA, 1, 0x100, {{0x02, 0x100, {}}, {0x04, 0x101, {}}}, 0);
    s.Units(0x100, 4, 0, 0);
    s.Units(0x101, 4);
    const size_t nMoved = s.Mark();
    s.Pmt(kPmtA, 1, 0x103, {{0x02, 0x100, {}}, {0x04, 0x103, {}}}, 1);
    s.Units(0x100, 4);
    s.Units(0x101, 4); // the old PID, no longer announced
    s.Units(0x103, 4, 0, 10 * kPcrHz);
    Mux(s);

    EXPECT_EQ(Versions(1011), (std::vector<int>{0, 1}));
    EXPECT_EQ(StreamPids(101), (std::vector<uint16_t>{1013, 1015}));
    ASSERT_NE(m_out.FindPmt(101), nullptr);
    EXPECT_EQ(m_out.FindPmt(101)->nPcrPid, 1015);
    EXPECT_EQ(Numbers(1014), s.Numbers(0x101, 0, nMoved));
    EXPECT_EQ(Numbers(1015), s.Numbers(0x103, nMoved));
    // Restamped from their slots: a few packets apart, not the input's second.
    const std::vector<tsr::PcrSample>& vPcrs = m_out.GetPcrs(1015);
    ASSERT_GE(vPcrs.size(), 2u);
    EXPECT_LT(vPcrs[1].nPcr - vPcrs[0].nPcr, kPcrHz / 10);
}

TEST_F(CMuxCoreTablesTest, PatVersionsAddAndRemoveAProgram)
{
    CScript s;
    s.Pat({{1, kPmtA}}, 0);
    s.Pmt(kPmtA, 1, 0x100, {{0x02, 0x100, {}}}, 0);
    s.Units(0x100, 4);
    s.Pat({{1, kPmtA}, {2, kPmtB}}, 1);
    s.Units(0x200, 2); // its PMT has not come yet
    const size_t nAdded = s.Mark();
    s.Pmt(kPmtB, 2, 0x200, {{0x1B, 0x200, {}}}, 0);
    s.Units(0x100, 4);
    s.Units(0x200, 4);
    const size_t nRemoved = s.Mark();
    s.Pat({{2, kPmtB}}, 2);
    s.Units(0x100, 4); // program 1 is gone
    s.Units(0x200, 4);
    Mux(s);

    EXPECT_EQ(Versions(kPidPat), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(m_out.GetPat().programs, (std::map<uint16_t, uint16_t>{{102, 1021}}));
    EXPECT_EQ(StreamPids(102), (std::vector<uint16_t>{1023}));
    EXPECT_EQ(Numbers(1013), s.Numbers(0x100, 0, nRemoved));
    EXPECT_EQ(Numbers(1023), s.Numbers(0x200, nAdded));
    // The removed program's PMT is not sent once the PAT without it is.
    size_t nLastPat = 0;
    size_t nLastPmt = 0;
    for (const tsr::Section& section : m_out.GetSections()) {
        if (section.nPid == kPidPat && ((section.bytes[5] >> 1) & 0x1F) == 2 && nLastPat == 0) {
            nLastPat = section.nPacket;
        }
        if (section.nPid == 1011) {
            nLastPmt = section.nPacket;
        }
    }
    EXPECT_GT(nLastPat, 0u);
    EXPECT_LT(nLastPmt, nLastPat);
    EXPECT_EQ(CLogCapture::CountStarting("1 mux: input 1 program 1: gone from its PAT"), 1);
}

TEST_F(CMuxCoreTablesTest, ProgramWithoutPmtIsLeftOutUntilItComes)
{
    CScript s;
    s.Pat({{1, kPmtA}, {2, kPmtB}}, 0);
    s.Pmt(kPmtA, 1, 0x100, {{0x02, 0x100, {}}}, 0);
    s.Units(0x100, 3, 0, 0); // PCRs a second apart: the wait for program 2 ends
    s.Units(0x200, 2);
    const size_t nCame = s.Mark();
    s.Pmt(kPmtB, 2, 0x200, {{0x1B, 0x200, {}}}, 0);
    s.Units(0x100, 2);
    s.Units(0x200, 4);
    Mux(s);

    EXPECT_EQ(CLogCapture::Count(
                  "1 input 1: program 2 (PMT PID 0x1001) has no PMT; left out until it comes"),
              1);
    ASSERT_FALSE(m_out.GetSections().empty());
    const tsr::Section& first = m_out.GetSections().front();
    ASSERT_EQ(first.nPid, kPidPat);
    EXPECT_EQ(first.bytes[2], 5 + 4 + 4) << "the first PAT lists program 101 only";
    EXPECT_EQ(Versions(kPidPat), (std::vector<int>{0, 1}));
    EXPECT_EQ(m_out.GetPat().programs, (std::map<uint16_t, uint16_t>{{101, 1011}, {102, 1021}}));
    EXPECT_EQ(Numbers(1023), s.Numbers(0x200, nCame));
}

TEST_F(CMuxCoreTablesTest, StreamsBeforeLateTablesStartAtAUnitStart)
{
    CScript s;
    s.Units(0x100, 2, 2); // the tail of a unit whose start went by, then whole ones
    s.Units(0x101, 2, 1);
    s.Pat({{1, kPmtA}}, 0);
    s.Pmt(kPmtA, 1, 0x100, {{0x02, 0x100, {}}, {0x04, 0x101, {}}}, 0);
    s.Units(0x100, 2);
    s.Units(0x101, 2);
    Mux(s);

    // Numbers() checks the unit start; what is stored from it on is kept.
    const std::vector<uint32_t> vVideo = s.Numbers(0x100, 0);
    const std::vector<uint32_t> vAudio = s.Numbers(0x101, 0);
    EXPECT_EQ(Numbers(1013), std::vector<uint32_t>(vVideo.begin() + 2, vVideo.end()));
    EXPECT_EQ(Numbers(1014), std::vector<uint32_t>(vAudio.begin() + 1, vAudio.end()));
}

class CMuxCoreServiceNamesTest : public CMuxCoreTablesTest,
                                 public ::testing::WithParamInterface<bool>
{
protected:
    // The service descriptor's body of service nId in the last SDT.
    tsr::Bytes ServiceDescriptor(uint16_t nId) const
    {
        for (const tsr::SdtService& svc : m_out.GetSdt().services) {
            if (svc.nServiceId == nId && svc.descriptors.size() >= 2 &&
                svc.descriptors[0] == 0x48) {
                return tsr::Bytes(svc.descriptors.begin() + 2, svc.descriptors.end());
            }
        }
        return {};
    }
    static tsr::Bytes Body(uint8_t nType, const std::string& sProvider, const std::string& sName)
    {
        tsr::Bytes v{nType, uint8_t(sProvider.size())};
        v.insert(v.end(), sProvider.begin(), sProvider.end());
        v.push_back(uint8_t(sName.size()));
        v.insert(v.end(), sName.begin(), sName.end());
        return v;
    }
};

TEST_P(CMuxCoreServiceNamesTest, SdtCarriesTheInputsNamesWhenAskedAndFollowsThem)
{
    const bool bFromInputs = GetParam();
    CScript s;
    s.Sdt({{1, "Prov", "Alpha", 0x19}}, 0); // program 2 has no name
    s.Pat({{1, kPmtA}, {2, kPmtB}}, 0);
    s.Pmt(kPmtA, 1, 0x100, {{0x1B, 0x100, {}}}, 0);
    s.Pmt(kPmtB, 2, 0x200, {{0x1B, 0x200, {}}}, 0);
    s.Units(0x100, 2);
    s.Sdt({{1, "Prov", "Beta", 0x19}}, 1);
    s.Units(0x100, 2);
    Mux(s, bFromInputs);

    EXPECT_EQ(Versions(kPidSdt), bFromInputs ? (std::vector<int>{0, 1}) : (std::vector<int>{0}));
    EXPECT_EQ(ServiceDescriptor(101),
              bFromInputs ? Body(0x19, "Prov", "Beta") : Body(0x01, "libbraidmill", "service 101"));
    EXPECT_EQ(ServiceDescriptor(102), Body(0x01, "libbraidmill", "service 102"));
    if (bFromInputs) {
        // The first SDT had the first name.
        bool bSawAlpha = false;
        const std::string sAlpha = "Alpha";
        for (const tsr::Section& section : m_out.GetSections()) {
            bSawAlpha =
                bSawAlpha || (section.nPid == kPidSdt &&
                              std::search(section.bytes.begin(), section.bytes.end(),
                                          sAlpha.begin(), sAlpha.end()) != section.bytes.end());
        }
        EXPECT_TRUE(bSawAlpha);
    }
}

INSTANTIATE_TEST_SUITE_P(NamesFromInputsOrNumbered, CMuxCoreServiceNamesTest, ::testing::Bool());
