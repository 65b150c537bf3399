#include "ts/CPsiSection.h"

#include "ts/CTsPacket.h"

#include <array>

namespace {

constexpr int kShortHeaderSize = 3; // table_id, flags and section_length
constexpr int kLongHeaderSize = 8;  // plus extension, version, section numbers
constexpr int kCrcSize = 4;

constexpr std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> vTable{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t nCrc = i << 24;
        for (int k = 0; k < 8; ++k) {
            nCrc = (nCrc & 0x80000000u) ? (nCrc << 1) ^ 0x04C11DB7u : nCrc << 1;
        }
        vTable[i] = nCrc;
    }
    return vTable;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

} // namespace

uint32_t Crc32Mpeg(const unsigned char* pData, int nLen)
{
    uint32_t nCrc = 0xFFFFFFFFu;
    for (int i = 0; i < nLen; ++i) {
        nCrc = (nCrc << 8) ^ kCrcTable[((nCrc >> 24) ^ pData[i]) & 0xFF];
    }
    return nCrc;
}

bool CPsiSection::SetData(const CTsPacket& packet)
{
    uint8_t nLen = 0;
    const unsigned char* pPayload = packet.GetPayload(nLen);
    if (pPayload == nullptr || nLen == 0 || pPayload[0] >= nLen) {
        return false;
    }
    m_pData = pPayload + 1 + pPayload[0];
    m_nAvail = nLen - 1 - pPayload[0];
    return true;
}

bool CPsiSection::SetData(const unsigned char* pSection, int nLen)
{
    if (pSection == nullptr || nLen < 0) {
        return false;
    }
    m_pData = pSection;
    m_nAvail = nLen;
    return true;
}

namespace {

// Byte i of a bound section, 0 beyond the bound bytes.
uint8_t At(const unsigned char* pData, int nAvail, int i)
{
    return (pData != nullptr && i >= 0 && i < nAvail) ? pData[i] : 0;
}

} // namespace

uint8_t CPsiSection::GetTableId() const
{
    return At(m_pData, m_nAvail, 0);
}

bool CPsiSection::GetSectionSyntaxIndicator() const
{
    return (At(m_pData, m_nAvail, 1) & 0x80) != 0;
}

int CPsiSection::GetSectionLength() const
{
    // All twelve bits: PSI tables keep the top two zero, so a length that
    // sets them marks a broken section, and private sections use them.
    return ((At(m_pData, m_nAvail, 1) & 0x0F) << 8) | At(m_pData, m_nAvail, 2);
}

uint16_t CPsiSection::GetTableIdExtension() const
{
    return uint16_t((At(m_pData, m_nAvail, 3) << 8) | At(m_pData, m_nAvail, 4));
}

uint8_t CPsiSection::GetVersionNumber() const
{
    return uint8_t((At(m_pData, m_nAvail, 5) >> 1) & 0x1F);
}

bool CPsiSection::GetCurrentNextIndicator() const
{
    return (At(m_pData, m_nAvail, 5) & 0x01) != 0;
}

uint8_t CPsiSection::GetSectionNumber() const
{
    return At(m_pData, m_nAvail, 6);
}

uint8_t CPsiSection::GetLastSectionNumber() const
{
    return At(m_pData, m_nAvail, 7);
}

bool CPsiSection::IsComplete() const
{
    return m_pData != nullptr && m_nAvail >= kShortHeaderSize &&
           kShortHeaderSize + GetSectionLength() <= m_nAvail;
}

const unsigned char* CPsiSection::GetBody(int& nLen) const
{
    if (!IsComplete()) {
        return nullptr;
    }
    const int nSectionLength = GetSectionLength();
    if (!GetSectionSyntaxIndicator()) {
        nLen = nSectionLength;
        return m_pData + kShortHeaderSize;
    }
    // The long header's last five bytes and the CRC_32 count in section_length.
    const int nBodyLen = nSectionLength - (kLongHeaderSize - kShortHeaderSize) - kCrcSize;
    if (nBodyLen < 0) {
        return nullptr;
    }
    nLen = nBodyLen;
    return m_pData + kLongHeaderSize;
}

uint32_t CPsiSection::GetCrc32() const
{
    const int nSectionLength = GetSectionLength();
    if (!IsComplete() || nSectionLength < kCrcSize) {
        return 0;
    }
    const unsigned char* p = m_pData + kShortHeaderSize + nSectionLength - kCrcSize;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

bool CPsiSection::CheckCrc32() const
{
    const int nSectionLength = GetSectionLength();
    if (!IsComplete() || nSectionLength < kCrcSize) {
        return false;
    }
    return Crc32Mpeg(m_pData, kShortHeaderSize + nSectionLength - kCrcSize) == GetCrc32();
}
