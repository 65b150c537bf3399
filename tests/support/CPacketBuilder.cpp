#include "support/CPacketBuilder.h"

#include <algorithm>
#include <cassert>

namespace tsb {

namespace {

constexpr int kHeaderSize = 4;
constexpr int kMaxPayload = 184;
constexpr uint8_t kAfcPayload = 0x10;
constexpr uint8_t kAfcAdaptation = 0x20;

Packet Blank(const Header& h, uint8_t nAfcBits)
{
    Packet pkt;
    pkt.fill(0xFF);
    pkt[0] = 0x47;
    pkt[1] = uint8_t((h.bTei ? 0x80 : 0) | (h.bPusi ? 0x40 : 0) | (h.bPriority ? 0x20 : 0) |
                     ((h.nPid >> 8) & 0x1F));
    pkt[2] = uint8_t(h.nPid & 0xFF);
    pkt[3] = uint8_t(((h.nScrambling & 0x3) << 6) | nAfcBits | (h.nCc & 0x0F));
    return pkt;
}

void WritePcr(uint8_t* p, int64_t nPcr)
{
    const int64_t nBase = nPcr / 300;
    const int64_t nExt = nPcr % 300;
    p[0] = uint8_t(nBase >> 25);
    p[1] = uint8_t(nBase >> 17);
    p[2] = uint8_t(nBase >> 9);
    p[3] = uint8_t(nBase >> 1);
    p[4] = uint8_t(((nBase & 1) << 7) | 0x7E | (nExt >> 8));
    p[5] = uint8_t(nExt & 0xFF);
}

// Starts a long-form section: table_id, section_length placeholder,
// extension, version and section numbers 0/0.
Bytes LongHeader(uint8_t nTableId, uint8_t nFlagBits, uint16_t nExtension, uint8_t nVersion)
{
    return Bytes{nTableId,
                 nFlagBits,
                 0x00,
                 uint8_t(nExtension >> 8),
                 uint8_t(nExtension & 0xFF),
                 uint8_t(0xC0 | ((nVersion & 0x1F) << 1) | 0x01),
                 0x00,
                 0x00};
}

// Fills in section_length (the bytes after it, CRC_32 included) and appends the CRC.
void Finish(Bytes& section)
{
    const size_t nLength = section.size() - 3 + 4;
    assert(nLength <= 1021);
    section[1] = uint8_t((section[1] & 0xF0) | ((nLength >> 8) & 0x03));
    section[2] = uint8_t(nLength & 0xFF);
    CPacketBuilder::AppendCrc(section);
}

void AppendDescriptors(Bytes& out, const std::vector<Descriptor>& descriptors)
{
    for (const Descriptor& d : descriptors) {
        out.push_back(d.nTag);
        out.push_back(uint8_t(d.data.size()));
        out.insert(out.end(), d.data.begin(), d.data.end());
    }
}

size_t DescriptorsSize(const std::vector<Descriptor>& descriptors)
{
    size_t nSize = 0;
    for (const Descriptor& d : descriptors) {
        nSize += 2 + d.data.size();
    }
    return nSize;
}

} // namespace

Packet CPacketBuilder::Null()
{
    Header h;
    h.nPid = 0x1FFF;
    return Blank(h, kAfcPayload);
}

Packet CPacketBuilder::Payload(const Header& h, const Bytes& payload)
{
    Packet pkt = Blank(h, kAfcPayload);
    std::copy_n(payload.begin(), std::min<size_t>(payload.size(), kMaxPayload),
                pkt.begin() + kHeaderSize);
    return pkt;
}

Packet CPacketBuilder::Pcr(const Header& h, int64_t nPcr, bool bDiscontinuity,
                           const Bytes& payload)
{
    // Flags byte and six PCR bytes at least; the payload gets what is left.
    const size_t nPayload = std::min<size_t>(payload.size(), kMaxPayload - 1 - 7);
    const uint8_t nAfc = payload.empty() ? kAfcAdaptation : (kAfcAdaptation | kAfcPayload);
    Packet pkt = Blank(h, nAfc);
    const uint8_t nLength = uint8_t(kMaxPayload - 1 - nPayload);
    pkt[4] = nLength;
    pkt[5] = uint8_t(0x10 | (bDiscontinuity ? 0x80 : 0));
    WritePcr(&pkt[6], nPcr);
    std::copy_n(payload.begin(), nPayload, pkt.begin() + 5 + nLength);
    return pkt;
}

Packet CPacketBuilder::AdaptationOnly(const Header& h, uint8_t nLength, uint8_t nFlags)
{
    // A field that fills the packet has AFC 2; a shorter one leaves a payload
    // of 0xFF bytes behind it (AFC 3), so the packet stays well formed.
    const bool bFull = nLength >= kMaxPayload - 1;
    Packet pkt = Blank(h, bFull ? kAfcAdaptation : (kAfcAdaptation | kAfcPayload));
    pkt[4] = nLength;
    if (nLength > 0) {
        pkt[5] = nFlags;
    }
    return pkt;
}

Packet CPacketBuilder::PesStart(const Header& h, uint8_t nStreamId, std::optional<int64_t> pts,
                                std::optional<int64_t> dts, std::optional<int64_t> pcr)
{
    Header hStart = h;
    hStart.bPusi = true;
    Bytes pes{0x00, 0x00, 0x01, nStreamId, 0x00, 0x00, 0x80, 0x00, 0x00};
    if (pts) {
        const bool bDts = dts.has_value();
        pes[7] = bDts ? 0xC0 : 0x80;
        pes[8] = bDts ? 10 : 5;
        pes.resize(pes.size() + (bDts ? 10 : 5));
        WriteTimestamp(&pes[9], bDts ? 0x3 : 0x2, *pts);
        if (bDts) {
            WriteTimestamp(&pes[14], 0x1, *dts);
        }
    }
    if (!pcr) {
        return Payload(hStart, pes);
    }
    // Shortest adaptation field with a PCR; the payload gets the rest.
    Bytes payload = pes;
    payload.resize(kMaxPayload - 1 - 7, 0xFF);
    return Pcr(hStart, *pcr, false, payload);
}

Bytes CPacketBuilder::PatSection(uint16_t nTsId, const std::vector<PatEntry>& programs,
                                 uint8_t nVersion)
{
    Bytes s = LongHeader(0x00, 0xB0, nTsId, nVersion);
    for (const PatEntry& e : programs) {
        s.push_back(uint8_t(e.nProgram >> 8));
        s.push_back(uint8_t(e.nProgram & 0xFF));
        s.push_back(uint8_t(0xE0 | ((e.nPid >> 8) & 0x1F)));
        s.push_back(uint8_t(e.nPid & 0xFF));
    }
    Finish(s);
    return s;
}

Bytes CPacketBuilder::PmtSection(uint16_t nProgram, uint16_t nPcrPid,
                                 const std::vector<EsEntry>& es, uint8_t nVersion, const std::vector<Descriptor>& programInfo)
{
    Bytes s = LongHeader(0x02, 0xB0, nProgram, nVersion);
    s.push_back(uint8_t(0xE0 | ((nPcrPid >> 8) & 0x1F)));
    s.push_back(uint8_t(nPcrPid & 0xFF));
    const size_t nInfo = DescriptorsSize(programInfo);
    s.push_back(uint8_t(0xF0 | ((nInfo >> 8) & 0x0F)));
    s.push_back(uint8_t(nInfo & 0xFF));
    AppendDescriptors(s, programInfo);
    for (const EsEntry& e : es) {
        s.push_back(e.nStreamType);
        s.push_back(uint8_t(0xE0 | ((e.nPid >> 8) & 0x1F)));
        s.push_back(uint8_t(e.nPid & 0xFF));
        const size_t nEsInfo = DescriptorsSize(e.descriptors);
        s.push_back(uint8_t(0xF0 | ((nEsInfo >> 8) & 0x0F)));
        s.push_back(uint8_t(nEsInfo & 0xFF));
        AppendDescriptors(s, e.descriptors);
    }
    Finish(s);
    return s;
}

Bytes CPacketBuilder::SdtSection(uint16_t nTsId, uint16_t nOnid,
                                 const std::vector<SdtService>& services, uint8_t nVersion)
{
    // SDT actual: table_id 0x42; reserved_future_use bits set.
    Bytes s = LongHeader(0x42, 0xF0, nTsId, nVersion);
    s.push_back(uint8_t(nOnid >> 8));
    s.push_back(uint8_t(nOnid & 0xFF));
    s.push_back(0xFF);
    for (const SdtService& svc : services) {
        // service_descriptor: service_type, provider and service names.
        Bytes desc{0x48, 0x00, svc.nServiceType, uint8_t(svc.sProvider.size())};
        desc.insert(desc.end(), svc.sProvider.begin(), svc.sProvider.end());
        desc.push_back(uint8_t(svc.sName.size()));
        desc.insert(desc.end(), svc.sName.begin(), svc.sName.end());
        desc[1] = uint8_t(desc.size() - 2);

        s.push_back(uint8_t(svc.nServiceId >> 8));
        s.push_back(uint8_t(svc.nServiceId & 0xFF));
        s.push_back(0xFC); // no EIT schedule, no EIT present/following
        // running_status 4 (running), free_CA_mode, descriptors_loop_length
        s.push_back(uint8_t(0x80 | (svc.bFreeCa ? 0x10 : 0) | ((desc.size() >> 8) & 0x0F)));
        s.push_back(uint8_t(desc.size() & 0xFF));
        s.insert(s.end(), desc.begin(), desc.end());
    }
    Finish(s);
    return s;
}

Bytes CPacketBuilder::CatSection(const std::vector<Descriptor>& descriptors, uint8_t nVersion)
{
    // table_id_extension reserved: all ones.
    Bytes s = LongHeader(0x01, 0xB0, 0xFFFF, nVersion);
    AppendDescriptors(s, descriptors);
    Finish(s);
    return s;
}

Descriptor CPacketBuilder::CaDescriptor(uint16_t nSystemId, uint16_t nCaPid, const Bytes& privateData)
{
    Descriptor d{0x09, {uint8_t(nSystemId >> 8), uint8_t(nSystemId & 0xFF),
                        uint8_t(0xE0 | (nCaPid >> 8)), uint8_t(nCaPid & 0xFF)}};
    d.data.insert(d.data.end(), privateData.begin(), privateData.end());
    return d;
}

std::vector<Packet> CPacketBuilder::Packetize(uint16_t nPid, const Bytes& section,
                                              uint8_t nFirstCc)
{
    std::vector<Packet> packets;
    size_t nDone = 0;
    uint8_t nCc = nFirstCc & 0x0F;
    do {
        Header h;
        h.nPid = nPid;
        h.nCc = nCc;
        h.bPusi = packets.empty();
        Packet pkt = Blank(h, kAfcPayload);
        size_t nPos = kHeaderSize;
        if (h.bPusi) {
            pkt[nPos++] = 0x00; // pointer_field
        }
        const size_t nTake = std::min(section.size() - nDone, pkt.size() - nPos);
        std::copy_n(section.begin() + long(nDone), nTake, pkt.begin() + long(nPos));
        nDone += nTake;
        packets.push_back(pkt);
        nCc = (nCc + 1) & 0x0F;
    } while (nDone < section.size());
    return packets;
}

void CPacketBuilder::AppendCrc(Bytes& section)
{
    // Bit by bit, independent of the library's table-driven CRC, so a fault
    // there cannot hide behind fixtures made with it.
    uint32_t nCrc = 0xFFFFFFFFu;
    for (uint8_t nByte : section) {
        for (int nBit = 7; nBit >= 0; --nBit) {
            const bool bIn = ((nByte >> nBit) & 1) != ((nCrc >> 31) & 1);
            nCrc = (nCrc << 1) ^ (bIn ? 0x04C11DB7u : 0u);
        }
    }
    section.push_back(uint8_t(nCrc >> 24));
    section.push_back(uint8_t(nCrc >> 16));
    section.push_back(uint8_t(nCrc >> 8));
    section.push_back(uint8_t(nCrc));
}

void CPacketBuilder::WriteTimestamp(uint8_t* p, uint8_t nPrefix, int64_t nValue)
{
    p[0] = uint8_t(((nPrefix & 0x0F) << 4) | (((nValue >> 30) & 0x07) << 1) | 0x01);
    p[1] = uint8_t(nValue >> 22);
    p[2] = uint8_t(((nValue >> 14) & 0xFE) | 0x01);
    p[3] = uint8_t(nValue >> 7);
    p[4] = uint8_t(((nValue << 1) & 0xFE) | 0x01);
}

} // namespace tsb
