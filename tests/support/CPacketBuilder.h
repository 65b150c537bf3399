#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Builds TS packets and PSI sections field by field for tests. Sections
// carry a correct CRC_32; packets are always 188 bytes.
namespace tsb {

using Packet = std::array<uint8_t, 188>;
using Bytes = std::vector<uint8_t>;

struct Descriptor
{
    uint8_t nTag;
    Bytes data;
};

struct EsEntry
{
    uint8_t nStreamType;
    uint16_t nPid;
    std::vector<Descriptor> descriptors;
};

struct PatEntry
{
    uint16_t nProgram; // 0 is the network PID entry
    uint16_t nPid;
};

struct SdtService
{
    uint16_t nServiceId;
    std::string sProvider;
    std::string sName;
    uint8_t nServiceType = 0x01; // digital television
    bool bFreeCa = false;        // free_CA_mode
};

// Header fields of one packet; the rest is set by the builders below.
struct Header
{
    uint16_t nPid = 0x1FFF;
    uint8_t nCc = 0;
    bool bPusi = false;
    bool bTei = false;
    bool bPriority = false;
    uint8_t nScrambling = 0;
};

class CPacketBuilder
{
public:
    // 47 1F FF 10 FF...
    static Packet Null();
    // Payload only (AFC 1); payload bytes copied, the rest 0xFF.
    static Packet Payload(const Header& h, const Bytes& payload = {});
    // Adaptation field (AFC 2, or 3 when payload is given) with a PCR.
    static Packet Pcr(const Header& h, int64_t nPcr, bool bDiscontinuity = false,
                      const Bytes& payload = {});
    // Adaptation field of the given length without PCR: AFC 2 when it fills
    // the packet (183), else AFC 3 with a payload of 0xFF bytes after it.
    // Flags go in byte 5 when the length is not 0; the rest is 0xFF.
    static Packet AdaptationOnly(const Header& h, uint8_t nLength, uint8_t nFlags = 0);
    // A PES start (PUSI set): 00 00 01 stream_id, length 0, flags, PTS/DTS
    // when given; a PCR in the adaptation field when given.
    static Packet PesStart(const Header& h, uint8_t nStreamId, std::optional<int64_t> pts,
                           std::optional<int64_t> dts = std::nullopt,
                           std::optional<int64_t> pcr = std::nullopt);

    // Whole sections from table_id through CRC_32.
    static Bytes PatSection(uint16_t nTsId, const std::vector<PatEntry>& programs,
                            uint8_t nVersion = 0);
    static Bytes PmtSection(uint16_t nProgram, uint16_t nPcrPid, const std::vector<EsEntry>& es,
                            uint8_t nVersion = 0,
                            const std::vector<Descriptor>& programInfo = {});
    static Bytes SdtSection(uint16_t nTsId, uint16_t nOnid, const std::vector<SdtService>& services,
                            uint8_t nVersion = 0);
    static Bytes CatSection(const std::vector<Descriptor>& descriptors, uint8_t nVersion = 0);
    // A CA_descriptor: CA_system_ID, reserved bits set, CA_PID, private data.
    static Descriptor CaDescriptor(uint16_t nSystemId, uint16_t nCaPid, const Bytes& privateData = {});

    // Carries a section over as many packets of the PID as it needs: the
    // first with PUSI and pointer_field 0, the last stuffed with 0xFF.
    // Continuity counters start at nFirstCc.
    static std::vector<Packet> Packetize(uint16_t nPid, const Bytes& section, uint8_t nFirstCc = 0);

    // Appends the MPEG-2 CRC_32 of the bytes so far.
    static void AppendCrc(Bytes& section);
    // Writes a 5-byte PTS/DTS field with the given 4-bit prefix.
    static void WriteTimestamp(uint8_t* p, uint8_t nPrefix, int64_t nValue);
};

} // namespace tsb
