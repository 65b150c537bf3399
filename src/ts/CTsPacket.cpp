#include "ts/CTsPacket.h"

#include "ts/TsConstants.h"

#include <iterator>

namespace {

// Byte positions of the header and the adaptation field.
constexpr int kAfLengthByte = 4;
constexpr int kPcrByte = 6;
constexpr int kHeaderSize = 4;
// Largest adaptation_field_length that still fits in a packet (bytes 5..187).
constexpr int kMaxAfLength = kTsPacketSize - kHeaderSize - 1;
// A PCR needs the flags byte and six PCR bytes inside the adaptation field.
constexpr int kMinPcrAfLength = 7;

constexpr uint8_t kAfcAdaptation = 0x2;
constexpr uint8_t kAfcPayload = 0x1;
constexpr uint8_t kPcrFlag = 0x10;
constexpr uint8_t kDiscontinuityFlag = 0x80;

// PES header offsets from the first payload byte.
constexpr int kPesStreamId = 3;
constexpr int kPesFlags = 7;
constexpr int kPesPts = 9;
constexpr int kPesDts = 14;
constexpr int kTimestampSize = 5;

// 4 prefix bits, 3 value bits, marker, 15 value bits, marker, 15 value bits, marker.
constexpr int kTimestampFields[] = {-4, 3, -1, 15, -1, 15};

bool HasStartCode(const unsigned char* p)
{
    return p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01;
}

int64_t ReadTimestamp(const unsigned char* p)
{
    return (int64_t((p[0] >> 1) & 0x07) << 30) | (int64_t(p[1]) << 22) |
           (int64_t(p[2] >> 1) << 15) | (int64_t(p[3]) << 7) | int64_t(p[4] >> 1);
}

// Exp-Golomb slice_type after a one-bit first_mb_in_slice, both in one byte.
bool DecodeSliceType(uint8_t nByte, uint8_t& nType)
{
    int nBit = 7;
    while (nBit >= 0 && !(nByte & (1u << nBit))) {
        --nBit;
    }
    if (nBit < 0) {
        return false;
    }
    --nBit; // the one-bit code
    int nZeros = 0;
    while (nBit >= 0 && !(nByte & (1u << nBit))) {
        ++nZeros;
        --nBit;
    }
    if (nBit < 0 || nBit - nZeros < 0) {
        return false;
    }
    const unsigned nSuffix = (nByte >> (nBit - nZeros)) & ((1u << nZeros) - 1);
    nType = uint8_t(((1u << nZeros) | nSuffix) - 1);
    return true;
}

} // namespace

void WriteBitFields(int64_t nValue, unsigned char* pDest, const int* pWidths, int nWidthCount)
{
    int nValueBit = -1;
    for (int i = 0; i < nWidthCount; ++i) {
        if (pWidths[i] > 0) {
            nValueBit += pWidths[i];
        }
    }
    int nDestBit = 0; // counted from bit 7 of the first byte
    for (int i = 0; i < nWidthCount; ++i) {
        const int nWidth = pWidths[i];
        if (nWidth < 0) {
            nDestBit -= nWidth;
            continue;
        }
        for (int k = 0; k < nWidth; ++k, ++nDestBit, --nValueBit) {
            unsigned char& nByte = pDest[nDestBit / 8];
            const unsigned char nMask = uint8_t(0x80u >> (nDestBit % 8));
            if (nValueBit < 64 && ((uint64_t(nValue) >> nValueBit) & 1u)) {
                nByte = uint8_t(nByte | nMask);
            } else {
                nByte = uint8_t(nByte & ~nMask);
            }
        }
    }
}

bool CTsPacket::SetData(unsigned char* pData)
{
    if (pData == nullptr || pData[0] != kSyncByte) {
        return false;
    }
    m_pData = pData;
    return true;
}

bool CTsPacket::GetTransportErrorIndicator() const
{
    return (m_pData[1] & 0x80) != 0;
}

bool CTsPacket::GetPayloadUnitStartIndicator() const
{
    return (m_pData[1] & 0x40) != 0;
}

bool CTsPacket::GetTransportPriority() const
{
    return (m_pData[1] & 0x20) != 0;
}

uint16_t CTsPacket::GetPid() const
{
    return uint16_t(PidOf(m_pData));
}

uint8_t CTsPacket::GetScramblingControl() const
{
    return uint8_t(m_pData[3] >> 6);
}

uint8_t CTsPacket::GetAdaptationFieldControl() const
{
    return uint8_t((m_pData[3] >> 4) & 0x03);
}

uint8_t CTsPacket::GetContinuityCounter() const
{
    return uint8_t(m_pData[3] & kCcMask);
}

void CTsPacket::SetPid(uint16_t nPid)
{
    // Masked so that an out-of-range PID cannot clobber the three flag bits.
    m_pData[1] = uint8_t(((nPid >> 8) & 0x1F) | (m_pData[1] & 0xE0));
    m_pData[2] = uint8_t(nPid & 0xFF);
}

void CTsPacket::SetContinuityCounter(uint8_t nCc)
{
    m_pData[3] = uint8_t((m_pData[3] & 0xF0) | (nCc & kCcMask));
}

unsigned char* CTsPacket::GetAdaptationField(uint8_t& nSize) const
{
    if (!(GetAdaptationFieldControl() & kAfcAdaptation)) {
        return nullptr;
    }
    const int nLength = m_pData[kAfLengthByte];
    // A length that runs past the packet makes the whole field unusable:
    // handing it out would let callers read beyond byte 187.
    if (nLength == 0 || nLength > kMaxAfLength) {
        return nullptr;
    }
    nSize = uint8_t(nLength + 1);
    return m_pData + kAfLengthByte;
}

unsigned char* CTsPacket::GetPayload(uint8_t& nLen) const
{
    switch (GetAdaptationFieldControl()) {
    case kAfcPayload:
        nLen = uint8_t(kTsPacketSize - kHeaderSize);
        return m_pData + kHeaderSize;
    case kAfcPayload | kAfcAdaptation: {
        const int nLength = m_pData[kAfLengthByte];
        if (nLength >= kMaxAfLength) {
            nLen = 0;
            return nullptr;
        }
        nLen = uint8_t(kMaxAfLength - nLength);
        return m_pData + kHeaderSize + 1 + nLength;
    }
    default:
        nLen = 0;
        return nullptr;
    }
}

bool CTsPacket::HasPcr() const
{
    uint8_t nSize = 0;
    const unsigned char* pAf = GetAdaptationField(nSize);
    return pAf != nullptr && GetPcrFlag(pAf) && pAf[0] >= kMinPcrAfLength;
}

int64_t CTsPacket::GetPcr() const
{
    uint8_t nSize = 0;
    const unsigned char* pAf = GetAdaptationField(nSize);
    return pAf != nullptr ? GetPcr(pAf) : -1;
}

void CTsPacket::SetPcr(int64_t nPcr)
{
    if (nPcr < 0 || !HasPcr()) {
        return;
    }
    const int64_t nBase = nPcr / kPcrPerPts;
    const int64_t nExt = nPcr % kPcrPerPts;
    unsigned char* p = m_pData + kPcrByte;
    p[0] = uint8_t(nBase >> 25);
    p[1] = uint8_t(nBase >> 17);
    p[2] = uint8_t(nBase >> 9);
    p[3] = uint8_t(nBase >> 1);
    p[4] = uint8_t(((nBase & 1) << 7) | 0x7E | (nExt >> 8));
    p[5] = uint8_t(nExt & 0xFF);
}

bool CTsPacket::GetDiscontinuityIndicator() const
{
    uint8_t nSize = 0;
    const unsigned char* pAf = GetAdaptationField(nSize);
    return pAf != nullptr && GetDiscontinuityIndicator(pAf);
}

bool CTsPacket::GetStreamId(uint8_t& nId) const
{
    if (!GetPayloadUnitStartIndicator()) {
        return false;
    }
    uint8_t nLen = 0;
    const unsigned char* p = GetPayload(nLen);
    if (p == nullptr || nLen < kPesStreamId + 1 || !HasStartCode(p)) {
        return false;
    }
    nId = p[kPesStreamId];
    return true;
}

bool CTsPacket::GetPtsDtsFlags(uint8_t& nFlags) const
{
    uint8_t nId = 0;
    uint8_t nLen = 0;
    const unsigned char* p = GetPayload(nLen);
    // The flag byte must lie within the packet, not just the start code.
    if (!GetStreamId(nId) || nLen < kPesFlags + 1) {
        return false;
    }
    nFlags = uint8_t(p[kPesFlags] >> 6);
    return true;
}

bool CTsPacket::GetPts(int64_t& nPts) const
{
    uint8_t nFlags = 0;
    uint8_t nLen = 0;
    const unsigned char* p = GetPayload(nLen);
    if (!GetPtsDtsFlags(nFlags) || (nFlags != 2 && nFlags != 3) ||
        nLen < kPesPts + kTimestampSize) {
        return false;
    }
    nPts = ReadTimestamp(p + kPesPts);
    return true;
}

bool CTsPacket::GetDts(int64_t& nDts) const
{
    uint8_t nFlags = 0;
    uint8_t nLen = 0;
    const unsigned char* p = GetPayload(nLen);
    if (!GetPtsDtsFlags(nFlags) || nFlags != 3 || nLen < kPesDts + kTimestampSize) {
        return false;
    }
    nDts = ReadTimestamp(p + kPesDts);
    return true;
}

void CTsPacket::SetPts(int64_t nPts)
{
    uint8_t nLen = 0;
    unsigned char* p = GetPayload(nLen);
    if (p != nullptr && nLen >= kPesPts + kTimestampSize) {
        WriteBitFields(nPts, p + kPesPts, kTimestampFields, int(std::size(kTimestampFields)));
    }
}

void CTsPacket::SetDts(int64_t nDts)
{
    uint8_t nLen = 0;
    unsigned char* p = GetPayload(nLen);
    if (p != nullptr && nLen >= kPesDts + kTimestampSize) {
        WriteBitFields(nDts, p + kPesDts, kTimestampFields, int(std::size(kTimestampFields)));
    }
}

void CTsPacket::ClearAdaptationField()
{
    uint8_t nSize = 0;
    unsigned char* pAf = GetAdaptationField(nSize);
    if (pAf == nullptr) {
        return;
    }
    pAf[1] = 0;
    for (int i = 2; i <= pAf[0]; ++i) {
        pAf[i] = 0xFF;
    }
}

bool CTsPacket::GetGopTimeCode(uint32_t& nTimeCode) const
{
    uint8_t nId = 0;
    uint8_t nLen = 0;
    const unsigned char* p = GetPayload(nLen);
    if (!GetStreamId(nId) || (nId & 0xF0) != 0xE0 || nLen < 8) {
        return false;
    }
    for (int i = 0; i <= nLen - 9; ++i) {
        const unsigned char* q = p + i;
        if (HasStartCode(q) && q[3] == 0xB8) {
            const uint32_t nHours = (q[4] >> 2) & 0x1F;
            const uint32_t nMinutes = ((q[4] & 0x03) << 4) | (q[5] >> 4);
            const uint32_t nSeconds = ((q[5] & 0x07) << 3) | (q[6] >> 5);
            const uint32_t nPictures = ((q[6] & 0x1F) << 1) | (q[7] >> 7);
            nTimeCode = (nHours << 24) | (nMinutes << 16) | (nSeconds << 8) | nPictures;
            return true;
        }
    }
    return false;
}

bool CTsPacket::GetPictureCodingType(uint8_t& nType) const
{
    for (int i = 0; i <= 171; ++i) {
        const unsigned char* q = m_pData + i;
        if (HasStartCode(q) && q[3] == 0x00) {
            nType = uint8_t((q[5] >> 3) & 0x07);
            return true;
        }
    }
    return false;
}

bool CTsPacket::HasSequenceHeader() const
{
    for (int i = 0; i <= 171; ++i) {
        const unsigned char* q = m_pData + i;
        if (HasStartCode(q) && q[3] == 0xB3) {
            return true;
        }
    }
    return false;
}

bool CTsPacket::GetFrameRateClass(uint8_t& nClass) const
{
    for (int i = 0; i <= 171; ++i) {
        const unsigned char* q = m_pData + i;
        if (HasStartCode(q) && q[3] == 0xB3) {
            const int nCode = q[7] & 0x0F;
            nClass = (nCode == 3 || nCode == 6) ? 1 : 2;
            return true;
        }
    }
    return false;
}

bool CTsPacket::GetAvcSliceType(uint8_t& nType) const
{
    for (int i = 0; i <= 182; ++i) {
        const unsigned char* q = m_pData + i;
        if (q[0] != 0x00 || !HasStartCode(q + 1)) {
            continue;
        }
        const int nNalType = q[4] & 0x1F;
        if (nNalType == 5) {
            nType = 10;
            return true;
        }
        if (nNalType >= 1 && nNalType <= 4 && DecodeSliceType(q[5], nType)) {
            return true;
        }
    }
    return false;
}

uint8_t CTsPacket::GetAdaptationFieldLength(const unsigned char* pAf)
{
    return pAf[0];
}

bool CTsPacket::GetDiscontinuityIndicator(const unsigned char* pAf)
{
    return (pAf[1] & kDiscontinuityFlag) != 0;
}

bool CTsPacket::GetRandomAccessIndicator(const unsigned char* pAf)
{
    return (pAf[1] & 0x40) != 0;
}

bool CTsPacket::GetEsPriorityIndicator(const unsigned char* pAf)
{
    return (pAf[1] & 0x20) != 0;
}

bool CTsPacket::GetPcrFlag(const unsigned char* pAf)
{
    return (pAf[1] & kPcrFlag) != 0;
}

bool CTsPacket::GetOpcrFlag(const unsigned char* pAf)
{
    return (pAf[1] & 0x08) != 0;
}

bool CTsPacket::GetSplicingPointFlag(const unsigned char* pAf)
{
    return (pAf[1] & 0x04) != 0;
}

bool CTsPacket::GetTransportPrivateDataFlag(const unsigned char* pAf)
{
    return (pAf[1] & 0x02) != 0;
}

bool CTsPacket::GetAdaptationFieldExtensionFlag(const unsigned char* pAf)
{
    return (pAf[1] & 0x01) != 0;
}

int64_t CTsPacket::GetPcrBase(const unsigned char* pAf)
{
    const unsigned char* p = pAf + 2;
    return (int64_t(p[0]) << 25) | (int64_t(p[1]) << 17) | (int64_t(p[2]) << 9) |
           (int64_t(p[3]) << 1) | int64_t(p[4] >> 7);
}

int CTsPacket::GetPcrExtension(const unsigned char* pAf)
{
    const unsigned char* p = pAf + 2;
    return ((p[4] & 0x01) << 8) | p[5];
}

int64_t CTsPacket::GetPcr(const unsigned char* pAf)
{
    // A PCR flag on a field too short to hold the PCR would read payload
    // bytes as a clock value.
    if (pAf[0] < kMinPcrAfLength || !GetPcrFlag(pAf)) {
        return -1;
    }
    return GetPcrBase(pAf) * kPcrPerPts + GetPcrExtension(pAf);
}
