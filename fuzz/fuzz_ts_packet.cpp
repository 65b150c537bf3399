// Every reader and prober of the packet accessor and the section view over
// arbitrary packets, and the setters on arbitrary packets. The packet sits in
// an allocation of exactly 188 bytes, so any read or write past byte 187 (or
// before byte 0) is an address-sanitizer report.
//
// Input: the first 188 bytes are the packet (short inputs are padded with
// 0xFF); what follows gives the setters their values.
#include "FuzzCheck.h"
#include "ts/CPsiSection.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using PacketBuf = std::unique_ptr<unsigned char[]>;

PacketBuf CopyPacket(const unsigned char* pSrc)
{
    PacketBuf p(new unsigned char[kTsPacketSize]);
    std::memcpy(p.get(), pSrc, kTsPacketSize);
    return p;
}

bool InPacket(const unsigned char* pBase, const unsigned char* p, int nLen)
{
    return p >= pBase && nLen >= 0 && p + nLen <= pBase + kTsPacketSize;
}

// Bytes outside [nFrom, nTo] are the same in both packets.
bool SameOutside(const unsigned char* a, const unsigned char* b, int nFrom, int nTo)
{
    for (int i = 0; i < kTsPacketSize; ++i) {
        if ((i < nFrom || i > nTo) && a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

void ReadSection(const CPsiSection& section)
{
    const unsigned char* pData = section.GetData();
    const int nAvail = section.GetAvailable();
    (void)section.GetTableId();
    (void)section.GetSectionSyntaxIndicator();
    const int nSectionLength = section.GetSectionLength();
    (void)section.GetTableIdExtension();
    (void)section.GetVersionNumber();
    (void)section.GetCurrentNextIndicator();
    (void)section.GetSectionNumber();
    (void)section.GetLastSectionNumber();
    const bool bComplete = section.IsComplete();
    FUZZ_CHECK(!bComplete || 3 + nSectionLength <= nAvail);
    int nBodyLen = -1;
    const unsigned char* pBody = section.GetBody(nBodyLen);
    if (pBody != nullptr) {
        FUZZ_CHECK(bComplete);
        FUZZ_CHECK(pBody >= pData && nBodyLen >= 0 && pBody + nBodyLen <= pData + nAvail);
        volatile unsigned char nSink = 0;
        for (int i = 0; i < nBodyLen; ++i) {
            nSink = nSink ^ pBody[i];
        }
    }
    const uint32_t nCrc = section.GetCrc32();
    const bool bCrcOk = section.CheckCrc32();
    FUZZ_CHECK(!bCrcOk || bComplete);
    if (bCrcOk) {
        FUZZ_CHECK(Crc32Mpeg(pData, 3 + nSectionLength - 4) == nCrc);
    }
}

void ReadEverything(const unsigned char* pBase, const CTsPacket& packet)
{
    (void)packet.GetTransportErrorIndicator();
    const bool bPusi = packet.GetPayloadUnitStartIndicator();
    (void)packet.GetTransportPriority();
    FUZZ_CHECK(packet.GetPid() < kPidCount);
    FUZZ_CHECK(packet.GetScramblingControl() < 4);
    const uint8_t nAfc = packet.GetAdaptationFieldControl();
    FUZZ_CHECK(nAfc < 4);
    FUZZ_CHECK(packet.GetContinuityCounter() <= kCcMask);

    uint8_t nAfSize = 0xEE;
    unsigned char* pAf = packet.GetAdaptationField(nAfSize);
    if (pAf != nullptr) {
        FUZZ_CHECK(nAfc & 0x2);
        FUZZ_CHECK(pAf == pBase + 4);
        FUZZ_CHECK(nAfSize == uint8_t(pAf[0] + 1));
        FUZZ_CHECK(InPacket(pBase, pAf, nAfSize));
        (void)CTsPacket::GetAdaptationFieldLength(pAf);
        (void)CTsPacket::GetDiscontinuityIndicator(pAf);
        (void)CTsPacket::GetRandomAccessIndicator(pAf);
        (void)CTsPacket::GetEsPriorityIndicator(pAf);
        (void)CTsPacket::GetPcrFlag(pAf);
        (void)CTsPacket::GetOpcrFlag(pAf);
        (void)CTsPacket::GetSplicingPointFlag(pAf);
        (void)CTsPacket::GetTransportPrivateDataFlag(pAf);
        (void)CTsPacket::GetAdaptationFieldExtensionFlag(pAf);
        FUZZ_CHECK(CTsPacket::GetPcrBase(pAf) < kPtsModulo);
        FUZZ_CHECK(CTsPacket::GetPcrExtension(pAf) < 512);
        const int64_t nAfPcr = CTsPacket::GetPcr(pAf);
        FUZZ_CHECK(nAfPcr >= -1);
    } else {
        FUZZ_CHECK(nAfSize == 0xEE); // untouched when absent
    }

    uint8_t nPayloadLen = 0;
    const unsigned char* pPayload = packet.GetPayload(nPayloadLen);
    if (pPayload != nullptr) {
        FUZZ_CHECK(nAfc & 0x1);
        FUZZ_CHECK(pPayload >= pBase + 4);
        FUZZ_CHECK(InPacket(pBase, pPayload, nPayloadLen));
        // The payload ends at the packet's end.
        FUZZ_CHECK(pPayload + nPayloadLen == pBase + kTsPacketSize);
    }

    const bool bHasPcr = packet.HasPcr();
    const int64_t nPcr = packet.GetPcr();
    FUZZ_CHECK(bHasPcr == (nPcr >= 0));
    // The 9-bit extension may hold 300..511 in a damaged stream; PCR users
    // wrap what they read, so only the field widths bound the value.
    FUZZ_CHECK(nPcr >= -1 && nPcr <= (kPtsModulo - 1) * kPcrPerPts + 511);
    (void)packet.GetDiscontinuityIndicator();

    uint8_t nStreamId = 0;
    const bool bStreamId = packet.GetStreamId(nStreamId);
    FUZZ_CHECK(!bStreamId || (bPusi && pPayload != nullptr));
    uint8_t nFlags = 0;
    const bool bFlags = packet.GetPtsDtsFlags(nFlags);
    FUZZ_CHECK(!bFlags || (bStreamId && nFlags < 4));
    int64_t nPts = -1;
    if (packet.GetPts(nPts)) {
        FUZZ_CHECK(bFlags && (nFlags & 0x2));
        FUZZ_CHECK(nPts >= 0 && nPts < kPtsModulo);
    }
    int64_t nDts = -1;
    if (packet.GetDts(nDts)) {
        FUZZ_CHECK(bFlags && nFlags == 3);
        FUZZ_CHECK(nDts >= 0 && nDts < kPtsModulo);
    }

    uint32_t nTimeCode = 0;
    (void)packet.GetGopTimeCode(nTimeCode);
    uint8_t nType = 0;
    if (packet.GetPictureCodingType(nType)) {
        FUZZ_CHECK(nType < 8);
    }
    (void)packet.HasSequenceHeader();
    uint8_t nClass = 0;
    if (packet.GetFrameRateClass(nClass)) {
        FUZZ_CHECK(nClass == 1 || nClass == 2);
    }
    (void)packet.GetAvcSliceType(nType);

    CPsiSection section;
    if (section.SetData(packet)) {
        FUZZ_CHECK(pPayload != nullptr);
        FUZZ_CHECK(InPacket(pBase, section.GetData(), section.GetAvailable()));
        ReadSection(section);
    }
    if (pPayload != nullptr) {
        CPsiSection raw;
        FUZZ_CHECK(raw.SetData(pPayload, nPayloadLen));
        ReadSection(raw);
    }
}

void CheckSetPid(const unsigned char* pOrig, uint16_t nPid)
{
    PacketBuf p = CopyPacket(pOrig);
    CTsPacket packet;
    FUZZ_CHECK(packet.SetData(p.get()));
    packet.SetPid(nPid);
    FUZZ_CHECK(packet.GetPid() == (nPid & 0x1FFF));
    FUZZ_CHECK((p[1] & 0xE0) == (pOrig[1] & 0xE0));
    FUZZ_CHECK(SameOutside(p.get(), pOrig, 1, 2));
}

void CheckSetContinuityCounter(const unsigned char* pOrig, uint8_t nCc)
{
    PacketBuf p = CopyPacket(pOrig);
    CTsPacket packet;
    FUZZ_CHECK(packet.SetData(p.get()));
    packet.SetContinuityCounter(nCc);
    FUZZ_CHECK(packet.GetContinuityCounter() == (nCc & kCcMask));
    FUZZ_CHECK((p[3] & 0xF0) == (pOrig[3] & 0xF0));
    FUZZ_CHECK(SameOutside(p.get(), pOrig, 3, 3));
}

void CheckSetPcr(const unsigned char* pOrig, int64_t nPcr)
{
    PacketBuf p = CopyPacket(pOrig);
    CTsPacket packet;
    FUZZ_CHECK(packet.SetData(p.get()));
    const bool bHadPcr = packet.HasPcr();
    packet.SetPcr(nPcr);
    if (!bHadPcr || nPcr < 0) {
        FUZZ_CHECK(std::memcmp(p.get(), pOrig, kTsPacketSize) == 0);
        return;
    }
    FUZZ_CHECK(packet.HasPcr());
    FUZZ_CHECK(packet.GetPcr() == nPcr % kPcrModulo);
    FUZZ_CHECK(SameOutside(p.get(), pOrig, 6, 11));
}

// A PTS/DTS field: prefix and marker bits keep their values.
constexpr uint8_t kTimestampValueBits[5] = {0x0E, 0xFF, 0xFE, 0xFF, 0xFE};

void CheckSetTimestamp(const unsigned char* pOrig, int64_t nValue, bool bDts)
{
    PacketBuf p = CopyPacket(pOrig);
    CTsPacket packet;
    FUZZ_CHECK(packet.SetData(p.get()));
    uint8_t nLen = 0;
    const unsigned char* pPayload = packet.GetPayload(nLen);
    const int nField = bDts ? 14 : 9;
    if (bDts) {
        packet.SetDts(nValue);
    } else {
        packet.SetPts(nValue);
    }
    if (pPayload == nullptr || nLen < nField + 5) {
        FUZZ_CHECK(std::memcmp(p.get(), pOrig, kTsPacketSize) == 0);
        return;
    }
    const int nFrom = int(pPayload - p.get()) + nField;
    FUZZ_CHECK(nFrom + 4 < kTsPacketSize);
    FUZZ_CHECK(SameOutside(p.get(), pOrig, nFrom, nFrom + 4));
    for (int i = 0; i < 5; ++i) {
        FUZZ_CHECK((p[nFrom + i] & ~kTimestampValueBits[i]) ==
                   (pOrig[nFrom + i] & ~kTimestampValueBits[i]));
    }
    int64_t nRead = -1;
    if (bDts ? packet.GetDts(nRead) : packet.GetPts(nRead)) {
        FUZZ_CHECK(nRead == (nValue & (kPtsModulo - 1)));
    }
}

void CheckClearAdaptationField(const unsigned char* pOrig)
{
    PacketBuf p = CopyPacket(pOrig);
    CTsPacket packet;
    FUZZ_CHECK(packet.SetData(p.get()));
    uint8_t nSize = 0;
    const unsigned char* pAf = packet.GetAdaptationField(nSize);
    packet.ClearAdaptationField();
    if (pAf == nullptr) {
        FUZZ_CHECK(std::memcmp(p.get(), pOrig, kTsPacketSize) == 0);
        return;
    }
    const int nLength = pOrig[4];
    FUZZ_CHECK(SameOutside(p.get(), pOrig, 5, 4 + nLength));
    FUZZ_CHECK(p[5] == 0);
    for (int i = 6; i <= 4 + nLength; ++i) {
        FUZZ_CHECK(p[i] == 0xFF);
    }
    FUZZ_CHECK(!packet.HasPcr());
}

// WriteBitFields into an exact-size buffer: bits it is not told to write
// keep their values.
void CheckWriteBitFields(FuzzedDataProvider& fdp)
{
    const int nCount = fdp.ConsumeIntegralInRange<int>(0, 8);
    std::vector<int> vWidths;
    int nBits = 0;
    for (int i = 0; i < nCount; ++i) {
        const int nWidth = fdp.ConsumeIntegralInRange<int>(-16, 16);
        vWidths.push_back(nWidth);
        nBits += nWidth < 0 ? -nWidth : nWidth;
    }
    const int64_t nValue = fdp.ConsumeIntegral<int64_t>();
    const int nBytes = (nBits + 7) / 8;
    std::unique_ptr<unsigned char[]> pDest(new unsigned char[size_t(nBytes) + 1]);
    std::vector<unsigned char> vOrig(size_t(nBytes) + 1);
    for (int i = 0; i < nBytes; ++i) {
        vOrig[size_t(i)] = fdp.ConsumeIntegral<unsigned char>();
    }
    std::memcpy(pDest.get(), vOrig.data(), size_t(nBytes));
    WriteBitFields(nValue, pDest.get(), vWidths.data(), int(vWidths.size()));
    int nBit = 0;
    for (int nWidth : vWidths) {
        if (nWidth < 0) {
            for (int k = 0; k < -nWidth; ++k, ++nBit) {
                const unsigned char nMask = uint8_t(0x80u >> (nBit % 8));
                FUZZ_CHECK((pDest[size_t(nBit / 8)] & nMask) == (vOrig[size_t(nBit / 8)] & nMask));
            }
        } else {
            nBit += nWidth;
        }
    }
    for (; nBit < nBytes * 8; ++nBit) {
        const unsigned char nMask = uint8_t(0x80u >> (nBit % 8));
        FUZZ_CHECK((pDest[size_t(nBit / 8)] & nMask) == (vOrig[size_t(nBit / 8)] & nMask));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    unsigned char vRaw[kTsPacketSize];
    std::memset(vRaw, 0xFF, sizeof vRaw);
    const size_t nPacketBytes = nSize < size_t(kTsPacketSize) ? nSize : size_t(kTsPacketSize);
    std::memcpy(vRaw, pData, nPacketBytes);
    FuzzedDataProvider fdp(pData + nPacketBytes, nSize - nPacketBytes);

    PacketBuf p = CopyPacket(vRaw);
    CTsPacket packet;
    if (p[0] != kSyncByte) {
        // Refused, and no binding is made.
        FUZZ_CHECK(!packet.SetData(p.get()));
        FUZZ_CHECK(packet.GetData() == nullptr);
        p[0] = kSyncByte;
        vRaw[0] = kSyncByte;
    }
    FUZZ_CHECK(packet.SetData(p.get()));
    ReadEverything(p.get(), packet);
    // Readers leave the packet alone.
    FUZZ_CHECK(std::memcmp(p.get(), vRaw, kTsPacketSize) == 0);

    CheckSetPid(vRaw, fdp.ConsumeIntegral<uint16_t>());
    CheckSetContinuityCounter(vRaw, fdp.ConsumeIntegral<uint8_t>());
    CheckSetPcr(vRaw, fdp.ConsumeIntegral<int64_t>());
    CheckSetTimestamp(vRaw, fdp.ConsumeIntegral<int64_t>(), false);
    CheckSetTimestamp(vRaw, fdp.ConsumeIntegral<int64_t>(), true);
    CheckClearAdaptationField(vRaw);
    CheckWriteBitFields(fdp);

    // The setters in a row on one packet, then every reader again.
    packet.SetPid(fdp.ConsumeIntegral<uint16_t>());
    packet.SetContinuityCounter(fdp.ConsumeIntegral<uint8_t>());
    packet.SetPcr(fdp.ConsumeIntegral<int64_t>());
    packet.SetPts(fdp.ConsumeIntegral<int64_t>());
    packet.SetDts(fdp.ConsumeIntegral<int64_t>());
    if (fdp.ConsumeBool()) {
        packet.ClearAdaptationField();
    }
    ReadEverything(p.get(), packet);
    return 0;
}
