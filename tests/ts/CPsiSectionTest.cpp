#include "support/CPacketBuilder.h"
#include "ts/CPsiSection.h"
#include "ts/CTsPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using tsb::CPacketBuilder;

TEST(CPsiSectionTest, Crc32MatchesKnownCheckValue)
{
    const unsigned char szCheck[] = "123456789";
    EXPECT_EQ(Crc32Mpeg(szCheck, 9), 0x0376E6E7u);
}

TEST(CPsiSectionTest, BuiltPatReadsBackFromPacket)
{
    tsb::Bytes pat = CPacketBuilder::PatSection(0x1234, {{0, 0x10}, {1, 0x100}}, 5);
    auto packets = CPacketBuilder::Packetize(0, pat);
    ASSERT_EQ(packets.size(), 1u);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(packets[0].data()));
    CPsiSection section;
    ASSERT_TRUE(section.SetData(packet));
    EXPECT_EQ(section.GetTableId(), 0x00);
    EXPECT_TRUE(section.GetSectionSyntaxIndicator());
    EXPECT_EQ(section.GetSectionLength(), 5 + 8 + 4);
    EXPECT_EQ(section.GetTableIdExtension(), 0x1234);
    EXPECT_EQ(section.GetVersionNumber(), 5);
    EXPECT_TRUE(section.GetCurrentNextIndicator());
    EXPECT_TRUE(section.IsComplete());
    EXPECT_TRUE(section.CheckCrc32());
    int nBody = 0;
    const unsigned char* pBody = section.GetBody(nBody);
    ASSERT_NE(pBody, nullptr);
    EXPECT_EQ(nBody, 8);
    EXPECT_EQ(pBody[2], 0xE0);
    EXPECT_EQ(pBody[3], 0x10);
}

TEST(CPsiSectionTest, BuiltPmtAndSdtCarryValidCrc)
{
    const std::vector<tsb::Bytes> vSections = {
        CPacketBuilder::PmtSection(0x0101, 0x100,
                                   {{0x02, 0x100, {}}, {0x04, 0x101, {{0x0A, {'e', 'n', 'g', 0}}}}},
                                   3, {{0x09, {0x01, 0x00, 0xE1, 0x00}}}),
        CPacketBuilder::SdtSection(0x1234, 0x0001,
                                   {{0x0101, "prov", "name one"}, {0x0102, "", ""}}),
    };
    for (const tsb::Bytes& s : vSections) {
        CPsiSection section;
        ASSERT_TRUE(section.SetData(s.data(), int(s.size())));
        EXPECT_TRUE(section.IsComplete());
        EXPECT_EQ(3 + section.GetSectionLength(), int(s.size()));
        EXPECT_TRUE(section.CheckCrc32());
        EXPECT_EQ(Crc32Mpeg(s.data(), int(s.size())), 0u); // CRC over CRC gives 0
    }
    CPsiSection pmt;
    ASSERT_TRUE(pmt.SetData(vSections[0].data(), int(vSections[0].size())));
    EXPECT_EQ(pmt.GetTableId(), 0x02);
    EXPECT_EQ(pmt.GetTableIdExtension(), 0x0101);
    EXPECT_EQ(pmt.GetVersionNumber(), 3);
    CPsiSection sdt;
    ASSERT_TRUE(sdt.SetData(vSections[1].data(), int(vSections[1].size())));
    EXPECT_EQ(sdt.GetTableId(), 0x42);
}

TEST(CPsiSectionTest, AnyFlippedBitFailsCrc)
{
    tsb::Bytes pat = CPacketBuilder::PatSection(1, {{1, 0x100}});
    for (size_t nByte = 3; nByte < pat.size(); ++nByte) {
        for (int nBit = 0; nBit < 8; ++nBit) {
            tsb::Bytes bad = pat;
            bad[nByte] ^= uint8_t(1u << nBit);
            CPsiSection section;
            ASSERT_TRUE(section.SetData(bad.data(), int(bad.size())));
            EXPECT_FALSE(section.CheckCrc32()) << nByte << " " << nBit;
        }
    }
}

TEST(CPsiSectionTest, PointerFieldMustStayInsidePayload)
{
    tsb::Bytes pat = CPacketBuilder::PatSection(1, {{1, 0x100}});
    tsb::Bytes payload(4 + pat.size(), 0xAA); // pointer_field 3, three filler bytes
    payload[0] = 3;
    std::copy(pat.begin(), pat.end(), payload.begin() + 4);
    tsb::Header h;
    h.bPusi = true;
    h.nPid = 0;
    tsb::Packet pkt = CPacketBuilder::Payload(h, payload);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    CPsiSection section;
    ASSERT_TRUE(section.SetData(packet));
    EXPECT_EQ(section.GetData(), pkt.data() + 8);
    EXPECT_EQ(section.GetAvailable(), 184 - 4);
    EXPECT_TRUE(section.CheckCrc32());

    pkt[4] = 183; // points at the last payload byte: nothing readable after
    ASSERT_TRUE(section.SetData(packet));
    EXPECT_EQ(section.GetAvailable(), 0);
    EXPECT_EQ(section.GetTableId(), 0);
    EXPECT_FALSE(section.IsComplete());
    pkt[4] = 184;
    EXPECT_FALSE(section.SetData(packet));
    EXPECT_EQ(section.GetAvailable(), 0); // the previous binding stays

    tsb::Packet adaptationOnly = CPacketBuilder::AdaptationOnly(h, 183);
    ASSERT_TRUE(packet.SetData(adaptationOnly.data()));
    EXPECT_FALSE(section.SetData(packet));
}

TEST(CPsiSectionTest, SectionLongerThanItsBytesIsNotRead)
{
    // A section that claims 1,000 bytes in a packet of 188: readers must
    // stay inside the bound bytes (the packet sits at the end of the heap block).
    tsb::Header h;
    h.bPusi = true;
    tsb::Packet pkt =
        CPacketBuilder::Payload(h, {0x00, 0x02, 0xB3, 0xE8, 0x00, 0x01, 0xC1, 0x00, 0x00});
    std::unique_ptr<unsigned char[]> pTight(new unsigned char[188]);
    std::copy(pkt.begin(), pkt.end(), pTight.get());
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pTight.get()));
    CPsiSection section;
    ASSERT_TRUE(section.SetData(packet));
    EXPECT_EQ(section.GetSectionLength(), 1000);
    EXPECT_FALSE(section.IsComplete());
    int nLen = -1;
    EXPECT_EQ(section.GetBody(nLen), nullptr);
    EXPECT_EQ(section.GetCrc32(), 0u);
    EXPECT_FALSE(section.CheckCrc32());

    // Too short for even the long header.
    const unsigned char vShort[] = {0x02, 0xB0};
    ASSERT_TRUE(section.SetData(vShort, 2));
    EXPECT_EQ(section.GetSectionLength(), 0); // flag bits have no length; byte 2 missing
    EXPECT_EQ(section.GetLastSectionNumber(), 0);
    EXPECT_FALSE(section.IsComplete());
}

// section_length is twelve bits: a reader that drops the top two takes a
// broken PSI section for a short valid one and cuts long private ones.
TEST(CPsiSectionTest, SectionLengthReadsAllTwelveBitsAndNoFlag)
{
    for (int nBit = 0; nBit < 12; ++nBit) {
        for (const uint8_t nFlags : {0x00, 0xF0}) { // syntax, private and reserved bits
            const int nLength = 1 << nBit;
            const unsigned char v[] = {0x80, uint8_t(nFlags | (nLength >> 8)), uint8_t(nLength)};
            CPsiSection section;
            ASSERT_TRUE(section.SetData(v, 3));
            EXPECT_EQ(section.GetSectionLength(), nLength) << nBit;
            EXPECT_EQ(section.GetSectionSyntaxIndicator(), nFlags != 0);
        }
    }
}

TEST(CPsiSectionTest, ShortFormBodyFollowsThreeByteHeader)
{
    // A private section without syntax: body straight after section_length.
    const unsigned char vSection[] = {0x80, 0x30, 0x03, 0x11, 0x22, 0x33};
    CPsiSection section;
    ASSERT_TRUE(section.SetData(vSection, 6));
    EXPECT_FALSE(section.GetSectionSyntaxIndicator());
    int nLen = 0;
    EXPECT_EQ(section.GetBody(nLen), vSection + 3);
    EXPECT_EQ(nLen, 3);
    // A long-form section too short to hold its header and CRC has no body.
    const unsigned char vBroken[] = {0x00, 0xB0, 0x05, 0, 1, 0xC1, 0, 0};
    ASSERT_TRUE(section.SetData(vBroken, 8));
    EXPECT_EQ(section.GetBody(nLen), nullptr);
}

TEST(CPsiSectionTest, PacketizeSplitsLongSectionWithCountingCc)
{
    std::vector<tsb::EsEntry> vEs;
    for (uint16_t i = 0; i < 60; ++i) {
        vEs.push_back({0x06, uint16_t(0x200 + i), {{0x52, {uint8_t(i)}}}});
    }
    tsb::Bytes pmt = CPacketBuilder::PmtSection(7, 0x200, vEs);
    ASSERT_GT(pmt.size(), 183u + 184u);
    auto packets = CPacketBuilder::Packetize(0x1000, pmt, 14);
    ASSERT_EQ(packets.size(), (pmt.size() + 1 + 183) / 184);
    tsb::Bytes joined;
    for (size_t i = 0; i < packets.size(); ++i) {
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(packets[i].data()));
        EXPECT_EQ(packet.GetPid(), 0x1000);
        EXPECT_EQ(packet.GetContinuityCounter(), (14 + i) & 0x0F);
        EXPECT_EQ(packet.GetPayloadUnitStartIndicator(), i == 0);
        uint8_t nLen = 0;
        const unsigned char* p = packet.GetPayload(nLen);
        ASSERT_NE(p, nullptr);
        joined.insert(joined.end(), p + (i == 0 ? 1 : 0), p + nLen);
    }
    ASSERT_GE(joined.size(), pmt.size());
    EXPECT_TRUE(std::equal(pmt.begin(), pmt.end(), joined.begin()));
    EXPECT_TRUE(std::all_of(joined.begin() + long(pmt.size()), joined.end(),
                            [](uint8_t b) { return b == 0xFF; }));
    CPsiSection section;
    ASSERT_TRUE(section.SetData(joined.data(), int(joined.size())));
    EXPECT_TRUE(section.CheckCrc32());
}
