#include "support/CTsReader.h"
#include "support/CPacketBuilder.h"
#include "support/Reframe.h"

#include <gtest/gtest.h>

#include <vector>

using tsb::CPacketBuilder;
using tsb::Header;
using tsb::Packet;

namespace {

class CTsReaderTest : public ::testing::Test
{
protected:
    void Add(const Packet& pkt) { m_vBytes.insert(m_vBytes.end(), pkt.begin(), pkt.end()); }
    void Add(const std::vector<Packet>& vPackets)
    {
        for (const Packet& pkt : vPackets) {
            Add(pkt);
        }
    }
    void Load() { m_reader.LoadBuffer(m_vBytes.data(), m_vBytes.size()); }

    std::vector<uint8_t> m_vBytes;
    tsr::CTsReader m_reader;
};

Header H(uint16_t nPid, uint8_t nCc, bool bPusi = false)
{
    Header h;
    h.nPid = nPid;
    h.nCc = nCc;
    h.bPusi = bPusi;
    return h;
}

// A PMT with enough descriptors to need three packets.
tsb::Bytes LongPmt()
{
    std::vector<tsb::EsEntry> es;
    for (uint16_t i = 0; i < 8; ++i) {
        es.push_back({0x1B, uint16_t(0x100 + i), {{0x0A, tsb::Bytes(40, uint8_t(i))}}});
    }
    return CPacketBuilder::PmtSection(7, 0x1FF, es, 3, {{0x09, tsb::Bytes(4, 0xAB)}});
}

} // namespace

TEST_F(CTsReaderTest, ParsesTablesSpanningPacketsAndRejectsBadCrc)
{
    Add(CPacketBuilder::Packetize(0, CPacketBuilder::PatSection(9, {{0, 0x10}, {7, 0x300}})));
    std::vector<Packet> vPmt = CPacketBuilder::Packetize(0x300, LongPmt());
    ASSERT_GE(vPmt.size(), 3u);
    Add(vPmt);
    // A second copy with one payload byte flipped must not replace the first.
    std::vector<Packet> vBad = CPacketBuilder::Packetize(0x300, LongPmt(), uint8_t(vPmt.size()));
    vBad[1][100] ^= 0x01;
    Add(vBad);
    Add(CPacketBuilder::Packetize(0x11, CPacketBuilder::SdtSection(9, 3, {{7, "prov", "name"}})));
    Load();

    ASSERT_TRUE(m_reader.HasPat());
    EXPECT_EQ(m_reader.GetPat().nTsId, 9);
    EXPECT_EQ(m_reader.GetPat().nNetworkPid, 0x10);
    EXPECT_EQ(m_reader.GetPat().programs.at(7), 0x300);
    const tsr::Pmt* pPmt = m_reader.FindPmt(7);
    ASSERT_NE(pPmt, nullptr);
    EXPECT_EQ(pPmt->nPcrPid, 0x1FF);
    EXPECT_EQ(pPmt->nVersion, 3);
    EXPECT_EQ(pPmt->programInfo, (tsb::Bytes{0x09, 4, 0xAB, 0xAB, 0xAB, 0xAB}));
    ASSERT_EQ(pPmt->streams.size(), 8u);
    EXPECT_EQ(pPmt->streams[7].nPid, 0x107);
    EXPECT_EQ(pPmt->streams[7].descriptors.size(), 42u);
    EXPECT_EQ(pPmt->streams[7].descriptors[2], 7);
    EXPECT_EQ(m_reader.GetPsiErrors(0x300).nCrc, 1);
    EXPECT_EQ(m_reader.GetPsiErrors().nLength, 0);
    ASSERT_TRUE(m_reader.HasSdt());
    ASSERT_EQ(m_reader.GetSdt().services.size(), 1u);
    EXPECT_EQ(m_reader.GetSdt().services[0].nServiceId, 7);
    EXPECT_EQ(m_reader.GetRepetition(0x300, 1e6).nCount, 1u); // the bad copy does not count
    EXPECT_TRUE(m_reader.IsWholePackets());
}

TEST_F(CTsReaderTest, ReportsBadSectionLengthAndCutSections)
{
    Add(CPacketBuilder::Payload(H(0, 0, true), {0x00, 0x00, 0xBF, 0xFF})); // length 4095
    Add(CPacketBuilder::Packetize(0, CPacketBuilder::PatSection(1, {{7, 0x300}}), 1));
    std::vector<Packet> vPmt = CPacketBuilder::Packetize(0x300, LongPmt());
    Add(vPmt[0]); // the rest never comes: the next start cuts it
    Add(CPacketBuilder::Packetize(0x300, LongPmt(), 1));
    Load();
    EXPECT_EQ(m_reader.GetPsiErrors(0).nLength, 1);
    EXPECT_EQ(m_reader.GetPsiErrors(0x300).nIncomplete, 1);
    EXPECT_EQ(m_reader.GetPsiErrors(0x300).nCrc, 0);
    EXPECT_TRUE(m_reader.HasPat());
    EXPECT_NE(m_reader.FindPmt(7), nullptr);
    EXPECT_FALSE(m_reader.GetMessages().empty());
}

TEST_F(CTsReaderTest, CountsContinuityErrorsAllowingOneDuplicate)
{
    Add(CPacketBuilder::Payload(H(0x100, 0), {1}));
    Add(CPacketBuilder::Payload(H(0x100, 1), {2}));
    Add(CPacketBuilder::Payload(H(0x100, 1), {2}));        // duplicate: fine
    Add(CPacketBuilder::AdaptationOnly(H(0x100, 1), 183)); // no payload: not counted
    Add(CPacketBuilder::Payload(H(0x100, 2), {3}));
    Add(CPacketBuilder::Payload(H(0x100, 2), {3}));
    Add(CPacketBuilder::Payload(H(0x100, 2), {3})); // second repeat: error
    Add(CPacketBuilder::Payload(H(0x100, 3), {4}));
    Add(CPacketBuilder::Payload(H(0x100, 3), {5}));      // same counter, other data: error
    Add(CPacketBuilder::Payload(H(0x100, 9), {6}));      // gap: error
    Add(CPacketBuilder::Pcr(H(0x100, 2), 0, true, {7})); // signalled discontinuity: fine
    Add(CPacketBuilder::Payload(H(0x100, 3), {8}));
    Add(CPacketBuilder::Null());
    Add(CPacketBuilder::Null()); // null packets repeat counter 0 freely
    Add(CPacketBuilder::Payload(H(0x200, 5)));
    Add(CPacketBuilder::Payload(H(0x200, 6)));
    Load();
    EXPECT_EQ(m_reader.GetCcErrors(0x100), 3);
    EXPECT_EQ(m_reader.GetCcErrors(0x200), 0);
    EXPECT_EQ(m_reader.GetCcErrors(), 3);
}

TEST_F(CTsReaderTest, MeasuresPcrAccuracyAcrossWrapAndDiscontinuity)
{
    // 1 Mbit/s: one packet is 1504 bits, 40,608 ticks. PCRs every 10 packets.
    const double fRate = 1e6;
    const int64_t nTicksPerPacket = 40'608;
    const int64_t kWrap = (int64_t(1) << 33) * 300;
    int64_t nPcr = kWrap - 5 * 10 * nTicksPerPacket; // wraps after five intervals
    for (int i = 0; i < 12; ++i) {
        int64_t nValue = nPcr % kWrap;
        if (i == 8) {
            nValue += 27; // 1 us late
        }
        Add(CPacketBuilder::Pcr(H(0x100, 0), nValue));
        for (int j = 0; j < 9; ++j) {
            Add(CPacketBuilder::Null());
        }
        nPcr += 10 * nTicksPerPacket;
    }
    // A new time base, signalled: measured from itself on.
    Add(CPacketBuilder::Pcr(H(0x100, 0), 5'000'000, true));
    Add(CPacketBuilder::Null());
    Add(CPacketBuilder::Pcr(H(0x100, 0), 5'000'000 + 2 * nTicksPerPacket));
    Load();

    ASSERT_EQ(m_reader.GetPcrs(0x100).size(), 14u);
    EXPECT_TRUE(m_reader.GetPcrs(0x100)[12].bDiscontinuity);
    tsr::PcrAccuracy acc = m_reader.CheckPcrAccuracy(0x100, fRate);
    EXPECT_EQ(acc.nChecked, 12u);
    EXPECT_NEAR(acc.fMaxAbsNs, 1000.0, 1.0);
    EXPECT_NEAR(acc.fMaxNs, 1000.0, 1.0);
    EXPECT_NEAR(acc.fMinNs, 0.0, 1.0);
    EXPECT_NEAR(acc.fMaxGapMs, 15.04 + 0.001, 0.01);
}

TEST_F(CTsReaderTest, MeasuresPsiRepetitionAndPartialPackets)
{
    tsb::Bytes pat = CPacketBuilder::PatSection(1, {{1, 0x300}});
    int nCc = 0;
    for (int nGap : {0, 10, 30}) {
        for (int i = 0; i < nGap - 1; ++i) {
            Add(CPacketBuilder::Null());
        }
        Add(CPacketBuilder::Packetize(0, pat, uint8_t(nCc++)));
    }
    m_vBytes.push_back(0x47); // a trailing partial packet
    Load();
    tsr::Repetition rep = m_reader.GetRepetition(0, 1504 * 1000.0); // one packet per ms
    EXPECT_EQ(rep.nCount, 3u);
    EXPECT_EQ(rep.nFirstPacket, 0u);
    EXPECT_EQ(rep.nMaxGapPackets, 30u);
    EXPECT_NEAR(rep.fMaxGapMs, 30.0, 1e-9);
    EXPECT_EQ(m_reader.GetTrailingBytes(), 1u);
    EXPECT_FALSE(m_reader.IsWholePackets());
    EXPECT_EQ(m_reader.GetPacketCount(), 41u);
}

// A section of length 0 is whole with its three header bytes; the next one
// in the same packet is read after it.
TEST_F(CTsReaderTest, EmptySectionEndsAtItsHeader)
{
    tsb::Bytes payload = {0x00, 0x80, 0x70, 0x00}; // pointer_field, private section of length 0
    const tsb::Bytes pat = CPacketBuilder::PatSection(5, {{1, 0x300}});
    payload.insert(payload.end(), pat.begin(), pat.end());
    Add(CPacketBuilder::Payload(H(0, 0, true), payload));
    Load();
    ASSERT_EQ(m_reader.GetSections().size(), 2u);
    EXPECT_EQ(m_reader.GetSections()[0].bytes.size(), 3u);
    EXPECT_EQ(m_reader.GetPat().nTsId, 5);
    EXPECT_EQ(m_reader.GetPsiErrors(0).nIncomplete, 0);
}

// Packets of every size after junk, a stray byte inside and a cut last
// packet: every whole packet is found, each break counted once.
TEST_F(CTsReaderTest, FindsPacketsOfEverySizeAndCountsBreaksInTheGrid)
{
    for (const int nStep : {188, 192, 204}) {
        m_vBytes.clear();
        for (int i = 0; i < 21; ++i) {
            Add(CPacketBuilder::Payload(H(0x100, uint8_t(i & 0x0F)), {uint8_t(i)}));
        }
        m_vBytes = tsb::Reframe(m_vBytes, nStep, 50);
        m_vBytes.resize(m_vBytes.size() - size_t(nStep == 204 ? 104 : 88)); // 100 bytes of the last
        m_vBytes.insert(m_vBytes.begin() + 50 + 10 * nStep, 0x11);
        Load();
        EXPECT_EQ(m_reader.GetPacketCount(), 20u) << nStep;
        EXPECT_EQ(m_reader.GetSyncErrors(), 2u) << nStep;
        EXPECT_EQ(m_reader.GetTrailingBytes(), 100u) << nStep;
        EXPECT_EQ(m_reader.GetCcErrors(), 0) << nStep;
        EXPECT_FALSE(m_reader.IsWholePackets());
    }
}
