#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// A reader of whole transport-stream files for tests: what a receiver or
// analyser would make of the multiplex (tables, continuity, PCR accuracy,
// table repetition). It finds packets with the library's walker and reads
// fields with its packet and section views, whose own tests pin them down;
// the reassembly of sections and every check are its own, so that a fault
// in the classes that build the multiplex cannot hide in them.
// Single-threaded; owns a copy of the packets it reads.
namespace tsr {

using Bytes = std::vector<uint8_t>;

struct PmtStream
{
    uint8_t nStreamType;
    uint16_t nPid;
    Bytes descriptors; // the ES_info loop, raw
};

struct Pmt
{
    uint16_t nProgram;
    uint16_t nPmtPid;
    uint16_t nPcrPid;
    uint8_t nVersion;
    Bytes programInfo; // program_info descriptors, raw
    std::vector<PmtStream> streams;
};

struct Pat
{
    uint16_t nTsId = 0;
    uint8_t nVersion = 0;
    int nNetworkPid = -1;                  // program 0 entry, -1 when absent
    std::map<uint16_t, uint16_t> programs; // program number -> PMT PID
};

struct SdtService
{
    uint16_t nServiceId;
    uint8_t nRunningStatus;
    bool bFreeCa;
    Bytes descriptors; // raw
};

struct Sdt
{
    uint16_t nTsId = 0;
    uint16_t nOnid = 0;
    uint8_t nVersion = 0;
    std::vector<SdtService> services;
};

struct NitStream
{
    uint16_t nTsId;
    uint16_t nOnid;
    Bytes descriptors; // raw
};

struct Nit
{
    uint8_t nTableId = 0;
    uint16_t nNetworkId = 0;
    uint8_t nVersion = 0;
    Bytes descriptors; // network descriptors, raw
    std::vector<NitStream> streams;
};

// One PSI section as it was reassembled, from table_id through CRC_32.
struct Section
{
    uint16_t nPid;
    size_t nPacket; // index of the packet in which it starts
    bool bCrcOk;    // always true for sections without syntax
    Bytes bytes;
};

struct PsiErrors
{
    int nCrc = 0;        // CRC_32 mismatches
    int nLength = 0;     // section_length out of range, or pointer_field past the payload
    int nIncomplete = 0; // a section cut off by a new start, a CC gap or the end of file
};

struct PcrSample
{
    size_t nPacket;
    int64_t nPcr; // 27 MHz ticks
    bool bDiscontinuity;
};

struct PcrAccuracy
{
    size_t nChecked = 0;  // PCRs compared with the nominal position
    double fMaxAbsNs = 0; // largest deviation, either sign, ns
    double fMinNs = 0;    // most negative deviation, ns
    double fMaxNs = 0;    // most positive deviation, ns
    double fMaxGapMs = 0; // longest interval between consecutive PCRs, ms of PCR time
};

struct Repetition
{
    size_t nCount = 0;         // sections with a good CRC that start on the PID
    size_t nFirstPacket = 0;   // packet of the first of them
    size_t nMaxGapPackets = 0; // largest distance between consecutive starts, packets
    double fMaxGapMs = 0;      // the same at the nominal rate, ms
};

class CTsReader
{
public:
    // Reads and analyses a whole file; false (with the reason) when it cannot be read.
    bool LoadFile(const std::string& sPath, std::string* pError = nullptr);
    void LoadBuffer(const uint8_t* pData, size_t nLen);

    // The packets found, in stream order, 188 bytes each (a 192- or 204-byte
    // stream's extra bytes left out); a trailing partial packet is not one.
    size_t GetPacketCount() const { return m_vData.size() / kPacket; }
    // Bytes after the last packet that make none; all of them when no
    // packets were found.
    size_t GetTrailingBytes() const { return m_nTrailing; }
    // Breaks in the packet grid: junk before the first packet, a position
    // without a sync byte, junk at the end.
    size_t GetSyncErrors() const { return m_nSyncErrors; }
    bool IsWholePackets() const { return GetTrailingBytes() == 0 && m_nSyncErrors == 0; }
    const uint8_t* GetPacket(size_t nIndex) const { return &m_vData[nIndex * kPacket]; }
    uint16_t GetPid(size_t nIndex) const;
    std::map<uint16_t, size_t> GetPidCounts() const;

    // Copies of the packets of one PID in file order.
    std::vector<Bytes> GetPackets(uint16_t nPid) const;
    // A packet with its PID bits and PCR field zeroed, so that an input packet
    // and its remapped, restamped copy in the output compare equal.
    static Bytes Comparable(const uint8_t* pPacket);
    // Comparable() of every packet of a sequence (byte vectors or arrays).
    template <class TPacket>
    static std::vector<Bytes> ComparableAll(const std::vector<TPacket>& vPackets)
    {
        std::vector<Bytes> vOut;
        vOut.reserve(vPackets.size());
        for (const TPacket& packet : vPackets) {
            vOut.push_back(Comparable(packet.data()));
        }
        return vOut;
    }

    const Pat& GetPat() const { return m_pat; }
    bool HasPat() const { return m_bPat; }
    const std::map<uint16_t, Pmt>& GetPmts() const { return m_pmts; } // by program number
    // The first PMT seen per program: what a receiver keeps when a later one
    // changes without a new version_number.
    const std::map<uint16_t, Pmt>& GetFirstPmts() const { return m_firstPmts; }
    const Pmt* FindPmt(uint16_t nProgram) const;
    bool HasSdt() const { return m_bSdt; }
    const Sdt& GetSdt() const { return m_sdt; }
    bool HasNit() const { return m_bNit; }
    bool HasCat() const { return m_bCat; }
    const Bytes& GetCatDescriptors() const { return m_vCat; } // raw, of the last good CAT
    const Nit& GetNit() const { return m_nit; }

    const std::vector<Section>& GetSections() const { return m_vSections; }
    PsiErrors GetPsiErrors() const; // over every PSI PID
    PsiErrors GetPsiErrors(uint16_t nPid) const;
    const std::vector<std::string>& GetMessages() const { return m_vMessages; }

    int GetCcErrors() const; // over every PID
    int GetCcErrors(uint16_t nPid) const;
    const std::map<uint16_t, int>& GetCcErrorMap() const { return m_ccErrors; }

    const std::vector<PcrSample>& GetPcrs(uint16_t nPid) const;
    std::set<uint16_t> GetPcrPids() const;
    // Each PCR against the first one (or the last discontinuity) plus its
    // byte distance at the nominal rate.
    PcrAccuracy CheckPcrAccuracy(uint16_t nPid, double fRateBitPerSec) const;

    Repetition GetRepetition(uint16_t nPid, double fRateBitPerSec) const;

    static constexpr size_t kPacket = 188;

private:
    void Load(Bytes& vStream);
    void Analyse();
    void CollectSections(const std::set<uint16_t>& vPids);
    void ParseSection(const Section& section);
    void Note(const std::string& sMessage);

    Bytes m_vData; // the packets found, back to back
    size_t m_nSyncErrors = 0;
    size_t m_nTrailing = 0;

    bool m_bPat = false;
    Pat m_pat;
    std::map<uint16_t, Pmt> m_pmts;
    std::map<uint16_t, Pmt> m_firstPmts;
    bool m_bSdt = false;
    Sdt m_sdt;
    bool m_bNit = false;
    Nit m_nit;
    bool m_bCat = false;
    Bytes m_vCat;
    std::vector<Section> m_vSections;
    std::map<uint16_t, PsiErrors> m_psiErrors;
    std::vector<std::string> m_vMessages; // first problems found, capped

    std::map<uint16_t, int> m_ccErrors;
    std::map<uint16_t, std::vector<PcrSample>> m_pcrs;
};

} // namespace tsr
