#pragma once

#include <cstdint>

// A view over one 188-byte transport-stream packet owned by somebody else.
// Created on the stack per packet; never copies, allocates or frees. No
// operation reads or writes outside the 188 bytes, whatever the packet holds:
// fields that would lie beyond byte 187 read as absent (false, null, -1).
class CTsPacket
{
public:
    CTsPacket() = default;

    // The PID of the packet at p, for paths that keep no view.
    static int PidOf(const unsigned char* p) { return ((p[1] & 0x1F) << 8) | p[2]; }
    // PCR_flag in an adaptation field long enough for a PCR (bytes 6-11),
    // read without a view: most packets have no adaptation field.
    static bool HasPcrFlag(const unsigned char* p)
    {
        return (p[3] & 0x20) != 0 && p[4] >= 7 && (p[5] & 0x10) != 0;
    }

    // Binds when byte 0 is the sync byte; otherwise keeps the previous binding.
    bool SetData(unsigned char* pData);
    unsigned char* GetData() const { return m_pData; }

    bool GetTransportErrorIndicator() const;
    bool GetPayloadUnitStartIndicator() const;
    bool GetTransportPriority() const;
    uint16_t GetPid() const;
    uint8_t GetScramblingControl() const;
    uint8_t GetAdaptationFieldControl() const;
    uint8_t GetContinuityCounter() const;

    void SetPid(uint16_t nPid);
    void SetContinuityCounter(uint8_t nCc);

    // Adaptation field from its length byte (byte 4), size L + 1; null when
    // absent, of length 0, or longer than the packet holds (L > 183); the
    // size is untouched then.
    unsigned char* GetAdaptationField(uint8_t& nSize) const;
    // Payload and its length; null for AFC 0 or 2, or when L leaves none.
    unsigned char* GetPayload(uint8_t& nLen) const;

    // A PCR needs PCR_flag and a field long enough to hold it (L >= 7).
    bool HasPcr() const;
    int64_t GetPcr() const;     // 27 MHz ticks, -1 when none
    void SetPcr(int64_t nPcr);  // only on a packet that already carries one
    bool GetDiscontinuityIndicator() const;

    bool GetStreamId(uint8_t& nId) const;
    bool GetPtsDtsFlags(uint8_t& nFlags) const;
    bool GetPts(int64_t& nPts) const;
    bool GetDts(int64_t& nDts) const;
    void SetPts(int64_t nPts);
    void SetDts(int64_t nDts);

    void ClearAdaptationField();

    // Video elementary-stream probes.
    bool GetGopTimeCode(uint32_t& nTimeCode) const;
    bool GetPictureCodingType(uint8_t& nType) const;
    bool HasSequenceHeader() const;
    bool GetFrameRateClass(uint8_t& nClass) const;
    bool GetAvcSliceType(uint8_t& nType) const;

    // Readers over an adaptation field as GetAdaptationField returns it.
    static uint8_t GetAdaptationFieldLength(const unsigned char* pAf);
    static bool GetDiscontinuityIndicator(const unsigned char* pAf);
    static bool GetRandomAccessIndicator(const unsigned char* pAf);
    static bool GetEsPriorityIndicator(const unsigned char* pAf);
    static bool GetPcrFlag(const unsigned char* pAf);
    static bool GetOpcrFlag(const unsigned char* pAf);
    static bool GetSplicingPointFlag(const unsigned char* pAf);
    static bool GetTransportPrivateDataFlag(const unsigned char* pAf);
    static bool GetAdaptationFieldExtensionFlag(const unsigned char* pAf);
    static int64_t GetPcrBase(const unsigned char* pAf);
    static int GetPcrExtension(const unsigned char* pAf);
    static int64_t GetPcr(const unsigned char* pAf);

private:
    unsigned char* m_pData = nullptr; // byte 0 of the bound packet
};

// Writes the bits of nValue into pDest, from bit 7 of its first byte on, as a
// list of signed widths directs: a negative width skips that many bits, a
// positive one writes that many bits of the value, most significant first.
// Bits not written keep their values.
void WriteBitFields(int64_t nValue, unsigned char* pDest, const int* pWidths, int nWidthCount);
