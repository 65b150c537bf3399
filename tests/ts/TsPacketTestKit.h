#pragma once

#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <cstdint>
#include <cstring>
#include <memory>

// What the packet view's tests share: a fixed generator, a packet with no
// byte after it, and a call of every reader and writer.
namespace tspk {

// Small deterministic generator so the loops cover the same values every run.
class CLcg
{
public:
    explicit CLcg(uint64_t nSeed) : m_nState(nSeed) {}
    uint64_t Next()
    {
        m_nState = m_nState * 6364136223846793005ull + 1442695040888963407ull;
        return m_nState >> 11;
    }

private:
    uint64_t m_nState;
};

// A packet at the very end of a heap block of exactly 188 bytes, so that
// AddressSanitizer reports any read or write past byte 187.
class CTightPacket
{
public:
    explicit CTightPacket(const tsb::Packet& pkt) : m_pBytes(new unsigned char[kTsPacketSize])
    {
        std::memcpy(m_pBytes.get(), pkt.data(), kTsPacketSize);
    }
    unsigned char* Data() { return m_pBytes.get(); }
    bool Equals(const tsb::Packet& pkt) const
    {
        return std::memcmp(m_pBytes.get(), pkt.data(), kTsPacketSize) == 0;
    }

private:
    std::unique_ptr<unsigned char[]> m_pBytes;
};

inline tsb::Header Pid(uint16_t nPid)
{
    tsb::Header h;
    h.nPid = nPid;
    return h;
}

// Every reader and writer, on a packet that may be hostile. Returns nothing:
// the point is that AddressSanitizer stays quiet.
inline void TouchEverything(CTsPacket& packet)
{
    uint8_t n8 = 0;
    uint32_t n32 = 0;
    int64_t n64 = 0;
    packet.GetAdaptationField(n8);
    packet.GetPayload(n8);
    packet.HasPcr();
    packet.GetPcr();
    packet.SetPcr(123'456'789);
    packet.GetDiscontinuityIndicator();
    packet.GetStreamId(n8);
    packet.GetPtsDtsFlags(n8);
    packet.GetPts(n64);
    packet.GetDts(n64);
    packet.SetPts(0x1'2345'6789);
    packet.SetDts(0x1'2345'6789);
    packet.GetGopTimeCode(n32);
    packet.GetPictureCodingType(n8);
    packet.HasSequenceHeader();
    packet.GetFrameRateClass(n8);
    packet.GetAvcSliceType(n8);
    packet.ClearAdaptationField();
}

} // namespace tspk
