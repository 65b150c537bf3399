#include "TsPacketTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

using tsb::CPacketBuilder;
using namespace tspk;

TEST(CTsPacketTest, PtsReadsFromPesHeader)
{
    tsb::Packet pkt = CPacketBuilder::PesStart(Pid(0x101), 0xE0, 0);
    const uint8_t vPts[] = {0x21, 0x00, 0x05, 0xBF, 0x21};
    std::copy(std::begin(vPts), std::end(vPts), pkt.begin() + 4 + 9);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    uint8_t nFlags = 0;
    ASSERT_TRUE(packet.GetPtsDtsFlags(nFlags));
    EXPECT_EQ(nFlags, 2);
    int64_t nPts = 0;
    ASSERT_TRUE(packet.GetPts(nPts));
    EXPECT_EQ(nPts, 90'000);
    int64_t nDts = 0;
    EXPECT_FALSE(packet.GetDts(nDts)); // flags 2: PTS only
}

TEST(CTsPacketTest, PtsDtsFlagsGateTheReaders)
{
    tsb::Packet pkt = CPacketBuilder::PesStart(Pid(0x101), 0xC0, 1000, 900);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    int64_t nValue = 0;
    pkt[4 + 7] = 0x40; // flags 1, forbidden
    EXPECT_FALSE(packet.GetPts(nValue));
    EXPECT_FALSE(packet.GetDts(nValue));
    pkt[4 + 7] = 0x00;
    EXPECT_FALSE(packet.GetPts(nValue));
    pkt[4 + 7] = 0xC0;
    ASSERT_TRUE(packet.GetDts(nValue));
    EXPECT_EQ(nValue, 900);
}

TEST(CTsPacketTest, PesReadersNeedStartCodeAndPusi)
{
    tsb::Packet pkt = CPacketBuilder::PesStart(Pid(0x101), 0xE0, 1000, std::nullopt, 5000);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    int64_t nValue = 0;
    uint8_t nId = 0;
    ASSERT_TRUE(packet.GetPts(nValue)); // behind an adaptation field with PCR
    EXPECT_EQ(nValue, 1000);
    EXPECT_EQ(packet.GetPcr(), 5000);
    uint8_t nLen = 0;
    unsigned char* p = packet.GetPayload(nLen);
    ASSERT_NE(p, nullptr);
    p[2] = 0x02;
    EXPECT_FALSE(packet.GetStreamId(nId));
    EXPECT_FALSE(packet.GetPts(nValue));
    p[2] = 0x01;
    pkt[1] &= 0xBF; // clear PUSI
    EXPECT_FALSE(packet.GetStreamId(nId));
    EXPECT_FALSE(packet.GetPts(nValue));
}

TEST(CTsPacketTest, SetPtsDtsRoundTripAndKeepMarkerBits)
{
    CLcg rng(3);
    for (int i = 0; i < 2000; ++i) {
        const int64_t nPts = int64_t(rng.Next() % uint64_t(kPtsModulo));
        const int64_t nDts = int64_t(rng.Next() % uint64_t(kPtsModulo));
        const auto pcr = (i & 1) ? std::optional<int64_t>(i) : std::nullopt;
        tsb::Packet pkt = CPacketBuilder::PesStart(Pid(0x101), 0xE0, 0, 0, pcr);
        tsb::Packet before = pkt;
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(pkt.data()));
        packet.SetPts(nPts);
        packet.SetDts(nDts);
        int64_t nReadPts = 0;
        int64_t nReadDts = 0;
        ASSERT_TRUE(packet.GetPts(nReadPts));
        ASSERT_TRUE(packet.GetDts(nReadDts));
        ASSERT_EQ(nReadPts, nPts);
        ASSERT_EQ(nReadDts, nDts);

        // Only the 33 value bits of each field may differ from before.
        uint8_t nLen = 0;
        const size_t nP = size_t(packet.GetPayload(nLen) - pkt.data());
        const uint8_t vValueMask[5] = {0x0E, 0xFF, 0xFE, 0xFF, 0xFE};
        for (size_t k = 0; k < pkt.size(); ++k) {
            uint8_t nMask = 0;
            if (k >= nP + 9 && k < nP + 19) {
                nMask = vValueMask[(k - nP - 9) % 5];
            }
            ASSERT_EQ(pkt[k] & ~nMask & 0xFF, before[k] & ~nMask & 0xFF) << i << " byte " << k;
        }
    }
}

TEST(CTsPacketTest, SetPtsWalkingBitWritesLow33Bits)
{
    tsb::Packet pkt = CPacketBuilder::PesStart(Pid(0x101), 0xE0, 0, 0);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    for (int nBit = 0; nBit < 40; ++nBit) {
        packet.SetPts(int64_t(1) << nBit);
        int64_t nPts = -1;
        ASSERT_TRUE(packet.GetPts(nPts));
        EXPECT_EQ(nPts, nBit < 33 ? int64_t(1) << nBit : 0) << nBit;
        int64_t nDts = -1;
        ASSERT_TRUE(packet.GetDts(nDts));
        EXPECT_EQ(nDts, 0);
    }
}

TEST(CTsPacketTest, WriteBitFieldsWalkingBitKeepsOtherBits)
{
    // skip 3, write 12, skip 2, write 5: 17 value bits over 22 packet bits.
    const int vWidths[] = {-3, 12, -2, 5};
    for (uint8_t nBackground : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x5A)}) {
        for (int nBit = 0; nBit < 17; ++nBit) {
            uint8_t vBuf[4];
            std::fill(std::begin(vBuf), std::end(vBuf), nBackground);
            const int64_t nValue = (int64_t(1) << nBit) ^ (nBackground == 0xFF ? 0x1FFFF : 0);
            WriteBitFields(nValue, vBuf, vWidths, 4);
            for (int nPos = 0; nPos < 32; ++nPos) {
                const bool bGot = (vBuf[nPos / 8] >> (7 - nPos % 8)) & 1;
                bool bWant = (nBackground >> (7 - nPos % 8)) & 1;
                int nValueBit = -1;
                if (nPos >= 3 && nPos < 15) {
                    nValueBit = 16 - (nPos - 3);
                } else if (nPos >= 17 && nPos < 22) {
                    nValueBit = 4 - (nPos - 17);
                }
                if (nValueBit >= 0) {
                    bWant = (nValue >> nValueBit) & 1;
                }
                ASSERT_EQ(bGot, bWant) << "bit " << nBit << " pos " << nPos;
            }
        }
    }
}

TEST(CTsPacketTest, ClearAdaptationFieldStuffsAfterFlags)
{
    tsb::Packet pkt = CPacketBuilder::Pcr(Pid(0x100), 27'000'000, true, tsb::Bytes(100, 0x11));
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    const int nL = pkt[4];
    packet.ClearAdaptationField();
    EXPECT_EQ(pkt[4], nL);
    EXPECT_EQ(pkt[5], 0);
    for (int k = 6; k < 5 + nL; ++k) {
        EXPECT_EQ(pkt[k], 0xFF) << k;
    }
    EXPECT_EQ(pkt[5 + nL], 0x11); // payload untouched
    EXPECT_FALSE(packet.HasPcr());
}

// L = 184..255 cannot fit: with AFC 2 or 3 the field is unusable and no
// reader or writer may go past byte 187.
TEST(CTsPacketTest, OversizedAdaptationFieldStaysInsidePacket)
{
    for (uint8_t nAfc : {uint8_t(2), uint8_t(3)}) {
        for (int nL = 184; nL <= 255; ++nL) {
            tsb::Header h = Pid(0x100);
            h.bPusi = true;
            tsb::Packet pkt = CPacketBuilder::Pcr(h, 27'000'000, true);
            pkt[3] = uint8_t((pkt[3] & 0xCF) | (nAfc << 4));
            pkt[4] = uint8_t(nL);
            CTightPacket tight(pkt);
            CTsPacket packet;
            ASSERT_TRUE(packet.SetData(tight.Data()));
            uint8_t nSize = 0;
            uint8_t nLen = 0;
            EXPECT_EQ(packet.GetAdaptationField(nSize), nullptr);
            EXPECT_EQ(packet.GetPayload(nLen), nullptr);
            EXPECT_EQ(nLen, 0);
            EXPECT_FALSE(packet.HasPcr());
            EXPECT_EQ(packet.GetPcr(), -1);
            EXPECT_FALSE(packet.GetDiscontinuityIndicator());
            TouchEverything(packet);
            EXPECT_TRUE(tight.Equals(pkt)) << "L " << nL; // nothing was written
        }
    }
}

// A PES start whose header runs off the end of the packet: every field
// that would lie beyond byte 187 reads as absent.
TEST(CTsPacketTest, PesHeaderCutAtPacketEndReadsAsAbsent)
{
    for (int nPayload = 0; nPayload <= 20; ++nPayload) {
        tsb::Header h = Pid(0x101);
        h.bPusi = true;
        tsb::Packet pkt = CPacketBuilder::AdaptationOnly(h, uint8_t(183 - nPayload));
        pkt[3] = uint8_t((pkt[3] & 0xCF) | 0x30);
        const uint8_t vPes[] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0xC0, 0x0A,
                                0x31, 0x00, 0x05, 0xBF, 0x21, 0x11, 0x00, 0x05, 0xBF, 0x21};
        const int nStart = kTsPacketSize - nPayload;
        for (int k = 0; k < nPayload && k < int(std::size(vPes)); ++k) {
            pkt[size_t(nStart + k)] = vPes[k];
        }
        CTightPacket tight(pkt);
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(tight.Data()));
        uint8_t nId = 0;
        uint8_t nFlags = 0;
        int64_t nPts = 0;
        int64_t nDts = 0;
        EXPECT_EQ(packet.GetStreamId(nId), nPayload >= 4) << nPayload;
        EXPECT_EQ(packet.GetPtsDtsFlags(nFlags), nPayload >= 8) << nPayload;
        EXPECT_EQ(packet.GetPts(nPts), nPayload >= 14) << nPayload;
        EXPECT_EQ(packet.GetDts(nDts), nPayload >= 19) << nPayload;
        if (nPayload >= 19) {
            EXPECT_EQ(nPts, 90'000);
            EXPECT_EQ(nDts, 90'000);
        }
        TouchEverything(packet);
    }
}

TEST(CTsPacketTest, RandomPacketsNeverReachPastTheEnd)
{
    CLcg rng(11);
    for (int i = 0; i < 3000; ++i) {
        tsb::Packet pkt;
        for (auto& b : pkt) {
            // Mostly zeros and ones so that start codes turn up often.
            const uint64_t r = rng.Next();
            b = (r & 3) == 0 ? uint8_t(r >> 8) : uint8_t((r >> 4) & 1);
        }
        pkt[0] = kSyncByte;
        pkt[1] |= (i & 1) ? 0x40 : 0;
        CTightPacket tight(pkt);
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(tight.Data()));
        TouchEverything(packet);
    }
}

TEST(CTsPacketTest, VideoProbesFindTheirStartCodes)
{
    tsb::Packet pkt = CPacketBuilder::PesStart(Pid(0x101), 0xE0, 0);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    uint32_t nTimeCode = 0;
    uint8_t n8 = 0;
    EXPECT_FALSE(packet.GetGopTimeCode(nTimeCode));
    EXPECT_FALSE(packet.HasSequenceHeader());
    EXPECT_FALSE(packet.GetPictureCodingType(n8));

    // GOP header 10:23:45, picture 17, drop frame flag set.
    const uint8_t vGop[] = {0x00, 0x00, 0x01, 0xB8, 0xA9, 0x7D, 0xA8, 0x80};
    std::copy(std::begin(vGop), std::end(vGop), pkt.begin() + 4 + 20);
    ASSERT_TRUE(packet.GetGopTimeCode(nTimeCode));
    EXPECT_EQ(nTimeCode, (10u << 24) | (23u << 16) | (45u << 8) | 17u);

    // Sequence header with frame_rate_code 3 (25 Hz), then another with 4.
    const uint8_t vSeq[] = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x33};
    std::copy(std::begin(vSeq), std::end(vSeq), pkt.begin() + 40);
    EXPECT_TRUE(packet.HasSequenceHeader());
    ASSERT_TRUE(packet.GetFrameRateClass(n8));
    EXPECT_EQ(n8, 1);
    pkt[47] = 0x34;
    ASSERT_TRUE(packet.GetFrameRateClass(n8));
    EXPECT_EQ(n8, 2);

    // Picture header: coding type 2 (P) in bits 5..3 of byte 5.
    const uint8_t vPic[] = {0x00, 0x00, 0x01, 0x00, 0x12, 0x50};
    std::copy(std::begin(vPic), std::end(vPic), pkt.begin() + 100);
    ASSERT_TRUE(packet.GetPictureCodingType(n8));
    EXPECT_EQ(n8, 2);

    // Not a video stream: no GOP time code.
    pkt[4 + 3] = 0xC0;
    EXPECT_FALSE(packet.GetGopTimeCode(nTimeCode));
}

TEST(CTsPacketTest, ProbesSeeStartCodesUpToTheLastWholeHeader)
{
    tsb::Packet pkt = CPacketBuilder::Payload(Pid(0x101), tsb::Bytes(184, 0xFF));
    const uint8_t vSeq[] = {0x00, 0x00, 0x01, 0xB3};
    std::copy(std::begin(vSeq), std::end(vSeq), pkt.begin() + 172);
    CTightPacket late(pkt);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(late.Data()));
    EXPECT_FALSE(packet.HasSequenceHeader()); // offset 172 is past the search
    tsb::Packet early = CPacketBuilder::Payload(Pid(0x101), tsb::Bytes(184, 0xFF));
    std::copy(std::begin(vSeq), std::end(vSeq), early.begin() + 171);
    CTightPacket tight(early);
    ASSERT_TRUE(packet.SetData(tight.Data()));
    EXPECT_TRUE(packet.HasSequenceHeader());
}

TEST(CTsPacketTest, AvcSliceTypeDecodesIdrAndExpGolomb)
{
    struct Case
    {
        uint8_t nNal;
        uint8_t nByte;
        int nWant; // -1: no result
    };
    const Case vCases[] = {
        {0x65, 0x00, 10}, // IDR slice
        {0x41, 0x88, 7},  // first_mb 0, slice_type 0001000 -> 7 (I)
        {0x41, 0xB8, 2},  // 1 011 -> 2 (I)
        {0x01, 0xC0, 0},  // 1 1 -> 0 (P)
        {0x21, 0x90, 3},  // 1 001 00 -> 0b100 - 1 = 3
        {0x41, 0x80, -1}, // no second 1 bit
        {0x41, 0x00, -1}, // no bits at all
        {0x41, 0x81, -1}, // 1 000000 1: six zeros, no room for the suffix
        {0x06, 0x88, -1}, // SEI: not a slice
    };
    for (const Case& c : vCases) {
        tsb::Packet pkt = CPacketBuilder::Payload(Pid(0x101), tsb::Bytes(184, 0xFF));
        const uint8_t vNal[] = {0x00, 0x00, 0x00, 0x01, c.nNal, c.nByte};
        std::copy(std::begin(vNal), std::end(vNal), pkt.begin() + 30);
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(pkt.data()));
        uint8_t nType = 0xEE;
        const bool bFound = packet.GetAvcSliceType(nType);
        if (c.nWant < 0) {
            EXPECT_FALSE(bFound) << int(c.nByte);
        } else {
            ASSERT_TRUE(bFound) << int(c.nByte);
            EXPECT_EQ(nType, c.nWant) << int(c.nByte);
        }
    }
}

TEST(CTsPacketTest, AvcSliceTypeSearchesOnPastUndecodableNal)
{
    tsb::Packet pkt = CPacketBuilder::Payload(Pid(0x101), tsb::Bytes(184, 0xFF));
    const uint8_t vFirst[] = {0x00, 0x00, 0x00, 0x01, 0x41, 0x80};
    const uint8_t vSecond[] = {0x00, 0x00, 0x00, 0x01, 0x41, 0xC0};
    std::copy(std::begin(vFirst), std::end(vFirst), pkt.begin() + 10);
    std::copy(std::begin(vSecond), std::end(vSecond), pkt.begin() + 182);
    CTightPacket tight(pkt);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(tight.Data()));
    uint8_t nType = 0xEE;
    ASSERT_TRUE(packet.GetAvcSliceType(nType));
    EXPECT_EQ(nType, 0);
}
