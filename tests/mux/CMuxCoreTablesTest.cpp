// Crafted inputs whose PAT, PMTs and SDT change, through CInputModule and
// CMuxCore, the output read back with the independent reader.
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
constexpr uint16_t kPmtC = 0x1002;
constexpr int kUnitPackets = 3; // packets per crafted PES

// A crafted input, packet by packet. A stream packet carries its position
// in the script as its number.
class CScript
{
public:
    void Psi(uint16_t nPid, const tsb::Bytes& section)
    {
        for (const tsb::Packet& p : CPacketBuilder::Packetize(nPid, section, NextCc(nPid))) {
            vPackets.push_back(p);
        }
    }
    void Pat(const std::vector<tsb::PatEntry>& programs, uint8_t nVersion)
    {
        Psi(kPidPat, CPacketBuilder::PatSection(1, programs, nVersion));
    }
    // Program n has its PMT on PID 0x0FFF + n.
    void Pmt(uint16_t nPmtPid, uint16_t nPcrPid, const std::vector<tsb::EsEntry>& es,
             uint8_t nVersion)
    {
        Psi(nPmtPid, CPacketBuilder::PmtSection(nPmtPid - 0x0FFF, nPcrPid, es, nVersion));
    }
    // nTail packets that end a unit begun before, then nUnits whole units;
    // with nPcr >= 0 each unit start carries a PCR, a second apart.
    void Units(uint16_t nPid, int nUnits, int nTail = 0, int64_t nPcr = -1)
    {
        for (int i = 0; i < nTail + nUnits * kUnitPackets; ++i) {
            const int nInUnit = i - nTail;
            tsb::Header h = On(nPid, NextCc(nPid));
            h.bPusi = nInUnit >= 0 && nInUnit % kUnitPackets == 0;
            const int64_t nAt = nPcr + nInUnit / kUnitPackets * kPcrHz;
            tsb::Packet p = nPcr >= 0 && h.bPusi
                                ? CPacketBuilder::Pcr(h, nAt, false, tsb::Bytes(176, 0x5A))
                                : CPacketBuilder::Payload(h, tsb::Bytes(184, 0x5A));
            const uint32_t nNumber = uint32_t(vPackets.size());
            std::memcpy(&p[184], &nNumber, sizeof(nNumber));
            m_vStream.emplace_back(nNumber, nPid);
            vPackets.push_back(p);
        }
    }
    size_t Mark() const { return vPackets.size(); }
    // The numbers of the stream packets of nPid at positions [nFrom, nTo).
    std::vector<uint32_t> Numbers(uint16_t nPid, size_t nFrom, size_t nTo = SIZE_MAX) const
    {
        std::vector<uint32_t> v;
        for (const auto& [nNumber, nOn] : m_vStream) {
            if (nOn == nPid && nNumber >= nFrom && nNumber < nTo) {
                v.push_back(nNumber);
            }
        }
        return v;
    }

    std::vector<tsb::Packet> vPackets;

private:
    uint8_t NextCc(uint16_t nPid) { return m_cc[nPid]++ & kCcMask; }

    std::vector<std::pair<uint32_t, uint16_t>> m_vStream; // number, PID
    std::map<uint16_t, uint8_t> m_cc;
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
            for (const tsb::Packet& p : script.vPackets) {
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
        EXPECT_TRUE(packets.empty() || (packets[0][1] & 0x40) != 0) << nPid << " in mid-unit";
        for (const tsr::Bytes& p : packets) {
            v.push_back(NumberOf(p.data()));
        }
        return v;
    }

    CLogCapture m_log;
    tsr::CTsReader m_out;
};

} // namespace

TEST_F(CMuxCoreTablesTest, PmtVersionsAddAStreamThenRemoveOneAndMoveThePcr)
{
    CScript s;
    s.Pat({{1, kPmtA}}, 0);
    s.Pmt(kPmtA, 0x100, {{0x02, 0x100, {}}, {0x04, 0x101, {}}}, 0);
    s.Units(0x100, 4, 0, 0);
    s.Units(0x101, 4);
    s.Units(0x102, 2); // not announced yet
    const size_t nAdded = s.Mark();
    s.Pmt(kPmtA, 0x100, {{0x02, 0x100, {}}, {0x04, 0x101, {}}, {0x04, 0x102, {}}}, 1);
    s.Units(0x100, 4);
    s.Units(0x101, 4);
    s.Units(0x102, 4);
    const size_t nRemoved = s.Mark();
    s.Pmt(kPmtA, 0x102, {{0x02, 0x100, {}}, {0x04, 0x102, {}}}, 2);
    s.Units(0x100, 4);
    s.Units(0x101, 4); // no longer announced
    s.Units(0x102, 4, 0, 10 * kPcrHz);
    Mux(s);

    EXPECT_EQ(Versions(1011), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Versions(kPidPat), (std::vector<int>{0, 1, 2}));
    const tsr::Pmt* pPmt = m_out.FindPmt(101);
    ASSERT_TRUE(pPmt != nullptr && pPmt->streams.size() == 2);
    EXPECT_EQ(pPmt->streams[1].nPid, 1015);
    EXPECT_EQ(pPmt->nPcrPid, 1015);
    EXPECT_EQ(Numbers(1013), s.Numbers(0x100, 0));
    EXPECT_EQ(Numbers(1014), s.Numbers(0x101, 0, nRemoved));
    EXPECT_EQ(Numbers(1015), s.Numbers(0x102, nAdded));
    EXPECT_EQ(CLogCapture::Count("1 mux: input 1 program 1: stream PID 0x0102 -> 0x03F7"), 1);
    // The moved PCR PID is restamped from its slots: a few packets apart,
    // not the input's second.
    const std::vector<tsr::PcrSample>& vPcrs = m_out.GetPcrs(1015);
    ASSERT_GE(vPcrs.size(), 2u);
    EXPECT_LT(vPcrs[1].nPcr - vPcrs[0].nPcr, kPcrHz / 10);
}

TEST_F(CMuxCoreTablesTest, ProgramsComeWithTheirPmtAndGoWithThePat)
{
    CScript s;
    s.Units(0x100, 1, 2); // the tail of a unit whose start went by, then a whole one
    s.Pat({{1, kPmtA}, {2, kPmtB}}, 0); // program 2's PMT comes late
    s.Pmt(kPmtA, 0x100, {{0x02, 0x100, {}}}, 0);
    s.Units(0x100, 3, 0, 0); // PCRs a second apart: the input goes without program 2
    s.Pat({{1, kPmtA}, {2, kPmtB}, {3, kPmtC}}, 1);
    s.Units(0x300, 2); // no PMT yet
    const size_t nThree = s.Mark();
    s.Pmt(kPmtC, 0x300, {{0x1B, 0x300, {}}}, 0);
    s.Units(0x300, 2);
    const size_t nRemoved = s.Mark();
    s.Pat({{2, kPmtB}, {3, kPmtC}}, 2);
    s.Units(0x100, 2); // program 1 is gone
    s.Units(0x300, 2);
    const size_t nTwo = s.Mark();
    s.Pmt(kPmtB, 0x200, {{0x1B, 0x200, {}}}, 0);
    s.Units(0x200, 2);
    s.Units(0x300, 2);
    Mux(s);

    EXPECT_EQ(CLogCapture::Count(
                  "1 input 1: program 2 (PMT PID 0x1001) has no PMT; left out until it comes"),
              1);
    EXPECT_EQ(m_out.GetSections().front().bytes[2], 5 + 4 + 4) << "program 101 alone at first";
    // What was stored before the tables is kept from its unit start on.
    EXPECT_EQ(Versions(kPidPat), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(m_out.GetPat().programs, (std::map<uint16_t, uint16_t>{{102, 1021}, {103, 1031}}));
    EXPECT_EQ(Numbers(1013), s.Numbers(0x100, 2, nRemoved));
    EXPECT_EQ(Numbers(1023), s.Numbers(0x300, nThree));
    EXPECT_EQ(Numbers(1033), s.Numbers(0x200, nTwo));
    // The removed program's PMT is not sent once the PAT without it is.
    size_t nFirstPat2 = SIZE_MAX, nLastPmt = 0;
    for (const tsr::Section& section : m_out.GetSections()) {
        if (section.nPid == kPidPat && ((section.bytes[5] >> 1) & 0x1F) == 2) {
            nFirstPat2 = std::min(nFirstPat2, section.nPacket);
        }
        nLastPmt = section.nPid == 1011 ? section.nPacket : nLastPmt;
    }
    EXPECT_LT(nLastPmt, nFirstPat2);
}

class CMuxCoreServiceNamesTest : public CMuxCoreTablesTest,
                                 public ::testing::WithParamInterface<bool>
{
protected:
    // The service descriptor's body of service nId in the last SDT.
    std::string ServiceOf(uint16_t nId) const
    {
        for (const tsr::SdtService& svc : m_out.GetSdt().services) {
            if (svc.nServiceId == nId && svc.descriptors.size() >= 2) {
                return std::string(svc.descriptors.begin() + 2, svc.descriptors.end());
            }
        }
        return {};
    }
    static std::string Body(char nType, const std::string& sProvider, const std::string& sName)
    {
        return nType + (char(sProvider.size()) + sProvider) + char(sName.size()) + sName;
    }
};

TEST_P(CMuxCoreServiceNamesTest, SdtCarriesTheInputsNamesWhenAskedAndFollowsThem)
{
    const bool bFromInputs = GetParam();
    CScript s;
    s.Psi(kPidSdt, CPacketBuilder::SdtSection(1, 0, {{1, "Prov", "Alpha", 0x19}})); // none for 2
    s.Pat({{1, kPmtA}, {2, kPmtB}}, 0);
    s.Pmt(kPmtA, 0x100, {{0x1B, 0x100, {}}}, 0);
    s.Pmt(kPmtB, 0x200, {{0x1B, 0x200, {}}}, 0);
    s.Units(0x100, 2);
    s.Psi(kPidSdt, CPacketBuilder::SdtSection(1, 0, {{1, "Prov", "Beta", 0x19}}, 1));
    s.Units(0x100, 2);
    Mux(s, bFromInputs);

    EXPECT_EQ(Versions(kPidSdt), bFromInputs ? (std::vector<int>{0, 1}) : (std::vector<int>{0}));
    EXPECT_EQ(ServiceOf(101),
              bFromInputs ? Body(0x19, "Prov", "Beta") : Body(0x01, "libbraidmill", "service 101"));
    EXPECT_EQ(ServiceOf(102), Body(0x01, "libbraidmill", "service 102"));
}

INSTANTIATE_TEST_SUITE_P(NamesFromInputsOrNumbered, CMuxCoreServiceNamesTest, ::testing::Bool());
