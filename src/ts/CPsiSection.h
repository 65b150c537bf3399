#pragma once

#include <cstdint>

class CTsPacket;

// A view over a PSI section starting at its table_id. Readers are valid
// only within the bytes the section was bound with.
class CPsiSection
{
public:
    CPsiSection() = default;

    // Binds to the section that starts in the packet's payload after the
    // pointer_field; false when there is no payload or the pointer_field
    // points beyond it.
    bool SetData(const CTsPacket& packet);
    // Binds to nLen bytes of a section held elsewhere.
    bool SetData(const unsigned char* pSection, int nLen);

    const unsigned char* GetData() const { return m_pData; }
    int GetAvailable() const { return m_nAvail; } // bytes readable from table_id

    uint8_t GetTableId() const;
    bool GetSectionSyntaxIndicator() const;
    int GetSectionLength() const;
    uint16_t GetTableIdExtension() const;
    uint8_t GetVersionNumber() const;
    bool GetCurrentNextIndicator() const;
    uint8_t GetSectionNumber() const;
    uint8_t GetLastSectionNumber() const;
    // Body after the header (8 bytes with syntax, 3 without), and its length;
    // null when the section does not lie whole within the bound bytes.
    const unsigned char* GetBody(int& nLen) const;
    uint32_t GetCrc32() const;          // as stored; 0 when out of range
    bool IsComplete() const;            // the whole section lies in the bound bytes
    bool CheckCrc32() const;            // stored CRC matches the section's bytes

private:
    const unsigned char* m_pData = nullptr;
    int m_nAvail = 0;
};

// MPEG-2 CRC_32 (polynomial 0x04C11DB7, initial 0xFFFFFFFF, no reflection).
uint32_t Crc32Mpeg(const unsigned char* pData, int nLen);
