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

TEST(CTsPacketTest, NullPacketReadsAsPayloadOnly)
{
    tsb::Packet pkt = CPacketBuilder::Null();
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    EXPECT_EQ(packet.GetPid(), 0x1FFF);
    EXPECT_EQ(packet.GetAdaptationFieldControl(), 1);
    EXPECT_EQ(packet.GetContinuityCounter(), 0);
    uint8_t nLen = 0;
    EXPECT_EQ(packet.GetPayload(nLen), pkt.data() + 4);
    EXPECT_EQ(nLen, 184);
    EXPECT_FALSE(packet.HasPcr());
    EXPECT_EQ(packet.GetPcr(), -1);
}

TEST(CTsPacketTest, SetDataRefusesLostSyncAndKeepsPreviousPacket)
{
    tsb::Packet first = CPacketBuilder::Payload(Pid(0x123));
    tsb::Packet bad = CPacketBuilder::Payload(Pid(0x456));
    bad[0] = 0x00;
    CTsPacket packet;
    EXPECT_FALSE(packet.SetData(bad.data()));
    EXPECT_EQ(packet.GetData(), nullptr);
    EXPECT_FALSE(packet.SetData(nullptr));
    ASSERT_TRUE(packet.SetData(first.data()));
    EXPECT_FALSE(packet.SetData(bad.data()));
    EXPECT_EQ(packet.GetData(), first.data());
    EXPECT_EQ(packet.GetPid(), 0x123);
}

TEST(CTsPacketTest, HeaderFlagsReadFromTheirBits)
{
    tsb::Header h = Pid(0x0ABC);
    h.bTei = true;
    h.bPriority = true;
    h.nScrambling = 2;
    h.nCc = 9;
    tsb::Packet pkt = CPacketBuilder::Payload(h);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    EXPECT_TRUE(packet.GetTransportErrorIndicator());
    EXPECT_FALSE(packet.GetPayloadUnitStartIndicator());
    EXPECT_TRUE(packet.GetTransportPriority());
    EXPECT_EQ(packet.GetScramblingControl(), 2);
    EXPECT_EQ(packet.GetContinuityCounter(), 9);
    EXPECT_EQ(packet.GetPid(), 0x0ABC);
}

TEST(CTsPacketTest, SetPidAndCounterKeepTheirNeighbours)
{
    tsb::Packet pkt = CPacketBuilder::Null();
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    pkt[1] = 0x5F;
    packet.SetPid(0x0064);
    EXPECT_EQ(pkt[1], 0x40);
    EXPECT_EQ(pkt[2], 0x64);
    pkt[3] = 0x30;
    packet.SetContinuityCounter(0x1A);
    EXPECT_EQ(pkt[3], 0x3A);
}

TEST(CTsPacketTest, SetPidWalkingBitChangesOnlyPidBits)
{
    CLcg rng(1);
    for (int nRound = 0; nRound < 64; ++nRound) {
        tsb::Packet pkt;
        for (auto& b : pkt) {
            b = uint8_t(rng.Next());
        }
        pkt[0] = kSyncByte;
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(pkt.data()));
        for (int nBit = 0; nBit < 13; ++nBit) {
            tsb::Packet before = pkt;
            const uint16_t nPid = uint16_t(1u << nBit);
            packet.SetPid(nPid);
            EXPECT_EQ(packet.GetPid(), nPid);
            EXPECT_EQ(pkt[1] & 0xE0, before[1] & 0xE0);
            pkt[1] = before[1];
            pkt[2] = before[2];
            EXPECT_EQ(pkt, before);
        }
        // A PID beyond 13 bits must not spill into the flag bits.
        const uint8_t nFlags = pkt[1] & 0xE0;
        packet.SetPid(0xFFFF);
        EXPECT_EQ(pkt[1] & 0xE0, nFlags);
        EXPECT_EQ(packet.GetPid(), 0x1FFF);
    }
}

TEST(CTsPacketTest, SetContinuityCounterEveryValueKeepsUpperNibble)
{
    for (int nByte3 = 0; nByte3 < 256; ++nByte3) {
        for (int nCc = 0; nCc < 256; nCc += 7) {
            tsb::Packet pkt = CPacketBuilder::Null();
            pkt[3] = uint8_t(nByte3);
            tsb::Packet before = pkt;
            CTsPacket packet;
            ASSERT_TRUE(packet.SetData(pkt.data()));
            packet.SetContinuityCounter(uint8_t(nCc));
            EXPECT_EQ(pkt[3], (nByte3 & 0xF0) | (nCc & 0x0F));
            pkt[3] = before[3];
            ASSERT_EQ(pkt, before);
        }
    }
}

TEST(CTsPacketTest, AdaptationOnlyPacketHasPcrButNoPayloadOrPes)
{
    tsb::Header h = Pid(0x100);
    h.bPusi = true;
    tsb::Packet pkt = CPacketBuilder::Pcr(h, 1'000'000);
    // A PES start code right after the field must not be found there.
    pkt[12] = 0x00;
    pkt[13] = 0x00;
    pkt[14] = 0x01;
    pkt[15] = 0xE0;
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    EXPECT_EQ(packet.GetAdaptationFieldControl(), 2);
    uint8_t nLen = 99;
    EXPECT_EQ(packet.GetPayload(nLen), nullptr);
    uint8_t nId = 0;
    int64_t nValue = 0;
    EXPECT_FALSE(packet.GetStreamId(nId));
    EXPECT_FALSE(packet.GetPts(nValue));
    EXPECT_FALSE(packet.GetDts(nValue));
    EXPECT_TRUE(packet.HasPcr());
    EXPECT_EQ(packet.GetPcr(), 1'000'000);
    uint8_t nSize = 0;
    EXPECT_EQ(packet.GetAdaptationField(nSize), pkt.data() + 4);
    EXPECT_EQ(nSize, 184);
}

TEST(CTsPacketTest, EmptyAdaptationFieldLeaves183BytePayload)
{
    tsb::Packet pkt = CPacketBuilder::AdaptationOnly(Pid(0x100), 0);
    pkt[5] = 0x10; // payload byte that looks like a PCR flag
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    EXPECT_EQ(packet.GetAdaptationFieldControl(), 3);
    EXPECT_FALSE(packet.HasPcr());
    EXPECT_EQ(packet.GetPcr(), -1);
    EXPECT_FALSE(packet.GetDiscontinuityIndicator());
    uint8_t nSize = 77;
    EXPECT_EQ(packet.GetAdaptationField(nSize), nullptr);
    EXPECT_EQ(nSize, 77); // untouched
    uint8_t nLen = 0;
    EXPECT_EQ(packet.GetPayload(nLen), pkt.data() + 5);
    EXPECT_EQ(nLen, 183);
}

TEST(CTsPacketTest, PayloadShrinksWithAdaptationLength)
{
    for (int nL = 0; nL <= 183; ++nL) {
        tsb::Packet pkt = CPacketBuilder::AdaptationOnly(Pid(0x100), uint8_t(nL));
        pkt[3] = uint8_t((pkt[3] & 0xCF) | 0x30); // AFC 3 whatever the length
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(pkt.data()));
        uint8_t nLen = 0;
        const unsigned char* p = packet.GetPayload(nLen);
        if (nL == 183) {
            EXPECT_EQ(p, nullptr);
            EXPECT_EQ(nLen, 0);
        } else {
            EXPECT_EQ(p, pkt.data() + 5 + nL);
            EXPECT_EQ(nLen, 183 - nL);
        }
    }
}

TEST(CTsPacketTest, PcrBytesReadAtLimits)
{
    tsb::Packet pkt = CPacketBuilder::Pcr(Pid(0x100), 0);
    const uint8_t vMax[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x2B};
    std::copy(std::begin(vMax), std::end(vMax), pkt.begin() + 6);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    EXPECT_EQ(packet.GetPcr(), 2'576'980'377'599);
    uint8_t nSize = 0;
    const unsigned char* pAf = packet.GetAdaptationField(nSize);
    ASSERT_NE(pAf, nullptr);
    EXPECT_EQ(CTsPacket::GetPcrBase(pAf), (int64_t(1) << 33) - 1);
    EXPECT_EQ(CTsPacket::GetPcrExtension(pAf), 299);

    packet.SetPcr(27'000'000);
    const uint8_t vOneSecond[] = {0x00, 0x00, 0xAF, 0xC8, 0x7E, 0x00};
    EXPECT_TRUE(std::equal(std::begin(vOneSecond), std::end(vOneSecond), pkt.begin() + 6));
}

TEST(CTsPacketTest, SetPcrRoundTripsAndTouchesOnlyPcrBytes)
{
    const int64_t vEdges[] = {0, 1, 299, 300, 301, 599, 600, kPcrModulo - 1, kPcrModulo - 300,
                              (int64_t(1) << 32) * 300 + 299};
    CLcg rng(7);
    for (int i = 0; i < 2000; ++i) {
        const int64_t nPcr = i < int(std::size(vEdges))
                                 ? vEdges[i]
                                 : int64_t(rng.Next() % uint64_t(kPcrModulo));
        tsb::Header h = Pid(uint16_t(rng.Next() & 0x1FFF));
        h.nCc = uint8_t(rng.Next());
        tsb::Packet pkt = CPacketBuilder::Pcr(h, 0, (i & 1) != 0, tsb::Bytes(i % 50, 0xA5));
        pkt[5] |= uint8_t(rng.Next() & 0xEF); // any other flags
        tsb::Packet before = pkt;
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(pkt.data()));
        packet.SetPcr(nPcr);
        ASSERT_EQ(packet.GetPcr(), nPcr) << i;
        EXPECT_EQ(pkt[10] & 0x7E, 0x7E);
        std::copy(before.begin() + 6, before.begin() + 12, pkt.begin() + 6);
        ASSERT_EQ(pkt, before) << i;
    }
}

TEST(CTsPacketTest, SetPcrWritesBaseModuloItsWidth)
{
    tsb::Packet pkt = CPacketBuilder::Pcr(Pid(0x100), 0);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    packet.SetPcr(kPcrModulo + 301);
    EXPECT_EQ(packet.GetPcr(), 301);
    packet.SetPcr(-1); // "no PCR" is not a value to write
    EXPECT_EQ(packet.GetPcr(), 301);
}

TEST(CTsPacketTest, SetPcrLeavesPacketWithoutPcrAlone)
{
    tsb::Packet vPackets[] = {CPacketBuilder::Null(),
                              CPacketBuilder::AdaptationOnly(Pid(0x100), 183, 0x40),
                              CPacketBuilder::AdaptationOnly(Pid(0x100), 0)};
    for (tsb::Packet& pkt : vPackets) {
        tsb::Packet before = pkt;
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(pkt.data()));
        packet.SetPcr(27'000'000);
        EXPECT_EQ(pkt, before);
    }
}

TEST(CTsPacketTest, PcrFlagOnFieldTooShortForPcrIsNoPcr)
{
    for (uint8_t nL = 1; nL < 7; ++nL) {
        tsb::Packet pkt = CPacketBuilder::AdaptationOnly(Pid(0x100), nL, 0x10);
        tsb::Packet before = pkt;
        CTsPacket packet;
        ASSERT_TRUE(packet.SetData(pkt.data()));
        EXPECT_FALSE(packet.HasPcr());
        EXPECT_EQ(packet.GetPcr(), -1);
        packet.SetPcr(27'000'000);
        EXPECT_EQ(pkt, before); // the payload after the field is not a PCR
    }
}

TEST(CTsPacketTest, AdaptationFieldFlagsAndDiscontinuity)
{
    tsb::Packet pkt = CPacketBuilder::Pcr(Pid(0x100), 42, true);
    CTsPacket packet;
    ASSERT_TRUE(packet.SetData(pkt.data()));
    EXPECT_TRUE(packet.GetDiscontinuityIndicator());
    uint8_t nSize = 0;
    const unsigned char* pAf = packet.GetAdaptationField(nSize);
    ASSERT_NE(pAf, nullptr);
    EXPECT_EQ(CTsPacket::GetAdaptationFieldLength(pAf), 183);
    EXPECT_TRUE(CTsPacket::GetPcrFlag(pAf));
    EXPECT_EQ(CTsPacket::GetPcr(pAf), 42);

    using Reader = bool (*)(const unsigned char*);
    const Reader vReaders[8] = {
        CTsPacket::GetAdaptationFieldExtensionFlag, CTsPacket::GetTransportPrivateDataFlag,
        CTsPacket::GetSplicingPointFlag,           CTsPacket::GetOpcrFlag,
        CTsPacket::GetPcrFlag,                     CTsPacket::GetEsPriorityIndicator,
        CTsPacket::GetRandomAccessIndicator,       CTsPacket::GetDiscontinuityIndicator};
    for (int nBit = 0; nBit < 8; ++nBit) {
        pkt[5] = uint8_t(1u << nBit);
        for (int k = 0; k < 8; ++k) {
            EXPECT_EQ(vReaders[k](pAf), k == nBit) << nBit << " " << k;
        }
    }
    pkt[5] = 0x7F;
    EXPECT_FALSE(packet.GetDiscontinuityIndicator());
}
