#pragma once

#include "braidmill.h"
#include "input/CInputTables.h"
#include "input/CProgramDescriptors.h"
#include "mux/CCatWriter.h"
#include "mux/CPsiTable.h"
#include "mux/MuxConstants.h"
#include "ts/TsConstants.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct dvbpsi_s;
struct dvbpsi_psi_section_s;

// What the output's tables say of the multiplex itself.
struct COutIdentity
{
    int nTsId = kOutTsId;                   // PAT and SDT transport_stream_id
    int nOriginalNetworkId = kOutNetworkId; // SDT
    int nNetworkId = kOutNetworkId;         // NIT
    std::string sNetworkName; // NIT network_name_descriptor, UTF-8 (the builder adds the
                              // selector non-ASCII text needs); empty: none
};

// One program of the multiplex, as numbered.
struct COutProgram
{
    int nProgramNumber;
    int nPmtPid;
    int nPcrPid;                     // output PCR PID; kPidNull when the program has no PCR
    int nPmtPcrPid = kPidNull;       // the output PID of the input PMT's PCR_PID; kPidNull none
    std::vector<_ES_INFO> vEs;       // output PIDs and stream types, in PMT order
    CProgramDescriptors descriptors; // what the PMT carries; descriptors.vEs parallel to vEs
    int nInput = 0;                  // the input it comes from, 1-based
    bool bOn = true;                 // in the tables; off while its input no longer has it
};

// Numbers the programs of the inputs and generates the multiplex's PSI set
// (PAT, one PMT per program, SDT, NIT) as ready-made TS packets. Used once,
// on the client's thread, while the engine builds its tables; it keeps no
// pointer to what it is given.
class CPsiBuilder
{
public:
    // Numbers the programs of one input after those of the inputs added
    // before and writes their output PIDs into the input's PID map (8192
    // entries). A program that no longer fits the PID space, or has more
    // streams than a PMT section carries, is left out with an error line.
    // pDescriptors, when given, holds each program's PMT descriptors (one
    // entry per program, in the same order); they go into the output PMTs
    // without CA descriptors (with CA passing: with them, naming the output
    // ECM PIDs), and with the least essential left out where the section
    // would not fit, each with a warning line.
    void AddInput(int nInput, const std::vector<_PROGRAM_INFO>& programs, int* pPidMap,
                  const std::vector<CProgramDescriptors>* pDescriptors = nullptr);

    // Follows a new program list of an input added before: every output
    // program number and PID given so far stays; a new stream gets the next
    // free PID of its program's block (else one from the top of the PID
    // space), a new program the next number and PMT PID after all others; a
    // program gone from the list leaves the tables (it keeps its numbers for
    // when it comes back). Logs what it gives. True when a table changed.
    bool UpdateInput(int nInput, const std::vector<_PROGRAM_INFO>& programs, int* pPidMap,
                     const std::vector<CProgramDescriptors>& descriptors);
    // The services the input's SDT names. True when the output SDT changes.
    bool SetServices(int nInput, const CServiceMap& services);
    // The PCRs of program nProgram (numbering order) come on nPid, one of
    // its output PIDs (kPidNull: none): its PMT names it PCR_PID until the
    // input's PMT names another or the PID leaves the program. True when the
    // PMT changes.
    bool MovePcrPid(size_t nProgram, int nPid);
    // true: the SDT carries the inputs' service names where they have one;
    // false (the default): numbered names.
    void SetServiceNames(bool bFromInputs) { m_bServiceNames = bFromInputs; }
    // true: the PMTs keep their CA descriptors, the ECM PIDs they name get
    // PIDs of their program's block, the inputs' CATs make the output's
    // (SetCat) and the SDT's free_CA_mode follows the inputs'. false (the
    // default): CA descriptors left out, no CAT, free_CA_mode 0. Before AddInput.
    void SetCaPass(bool bPass) { m_bCaPass = bPass; }
    // Input nInput's CAT as its tables give it, with CA passing; its EMM
    // PIDs go into the input's PID map. True when the output CAT changes.
    bool SetCat(int nInput, const CInputTables& tables, int* pPidMap);

    // A program left out by AddInput, named as its input knows it.
    struct COmitted
    {
        int nInput;         // as given to AddInput (1-based)
        int nProgramNumber; // in the input's PAT; -1 when no descriptors told it
        int nPmtPid;        // in the input
    };

    const std::vector<COutProgram>& GetPrograms() const { return m_vPrograms; }
    const std::vector<COmitted>& GetOmitted() const { return m_vOmitted; }
    int GetOmittedCount() const { return int(m_vOmitted.size()); }

    // Takes what the tables say of the multiplex. Each value out of range
    // (ids 0..65535, a name of at most 255 bytes) is refused with an error
    // line and the one before it kept; false when any was.
    bool SetIdentity(const COutIdentity& identity);
    const COutIdentity& GetIdentity() const { return m_identity; }

    // The PSI set as separate tables, in this order: PAT, the PMTs in
    // numbering order, SDT, NIT, then with CA passing the CAT where an
    // input has one. nVersion (0..31) is the version_number of
    // every table. False (with an error line) for a version out of range or
    // when libdvbpsi failed to generate a table; vTables is then untouched.
    bool BuildTables(std::vector<CPsiTable>& vTables, int nVersion = 0) const;

    // The PSI set of BuildTables at version 0, its tables one after another.
    bool BuildPackets(std::vector<unsigned char>& vPsi) const;

    // Bit/s the tables need when each goes out once every nIntervalMs,
    // rounded up; -1 for an interval below 1 ms.
    static long long TableBitRate(const std::vector<CPsiTable>& vTables, int nIntervalMs);

    // Appends the sections of the list to vBuf as packets of nPid: a section
    // starts a packet (payload_unit_start_indicator, pointer_field 0) and
    // runs on over as many packets as it needs; the last is stuffed with 0xFF.
    static void PacketizeSections(int nPid, const dvbpsi_psi_section_s* pSections,
                                  std::vector<unsigned char>& vBuf);
    // Writes the body of a service descriptor (service_type, provider name,
    // service name) into pBuf and returns its length; -1, leaving pBuf
    // untouched, when it would not fit nCapacity bytes.
    static int BuildServiceDescriptor(unsigned char* pBuf, int nCapacity,
                                      const std::string& sProvider, const std::string& sName,
                                      int nServiceType = kServiceTypeTv);

private:
    // Leaves out the program's CA descriptors and what its PMT section has
    // no room for, with a warning line for each.
    // szInProgram names the program as its input knows it, for the lines.
    // With bCaPass the CA descriptors stay (their PIDs already rewritten).
    static void FitDescriptors(COutProgram& out, const char* szInProgram, bool bCaPass);
    // With CA passing: the output PID of each ECM PID the program's
    // descriptors name, from OutPid (which gives one); the descriptors then
    // name those.
    void PassEcmPids(COutProgram& out, const char* szInProgram,
                     const std::function<int(int)>& OutPid) const;
    // free_CA_mode of the program's service.
    bool IsFreeCa(const COutProgram& program) const;
    // One table each, into table.vPackets; false with an error line.
    bool BuildPat(dvbpsi_s* h, int nVersion, CPsiTable& table) const;
    static bool BuildPmt(dvbpsi_s* h, const COutProgram& program, int nVersion, CPsiTable& table);
    bool BuildSdt(dvbpsi_s* h, int nVersion, CPsiTable& table) const;
    bool BuildNit(dvbpsi_s* h, int nVersion, CPsiTable& table) const;

    // A free output PID for a new stream of the program whose PMT PID is
    // given; -1 when none is left.
    int TakeFreePid(int nPmtPid, const char* szInProgram);
    bool IsOmitted(int nInput, int nProgramNumber) const;
    // The input's service of the program when the SDT is to carry it; else null.
    const CServiceInfo* FindService(const COutProgram& program) const;

    std::vector<COutProgram> m_vPrograms;     // numbering order
    std::vector<uint8_t> m_vUsed = std::vector<uint8_t>(kPidCount, 0); // per output PID: taken
    std::map<int, CServiceMap> m_services;                             // by input
    bool m_bServiceNames = false;
    bool m_bCaPass = false;
    CCatWriter m_cat;
    int m_nNextProgram = kFirstProgramNumber; // program number of the next program
    int m_nNextPmtPid = kFirstPmtPid;         // PMT PID of the next program
    std::vector<COmitted> m_vOmitted;         // programs left out, in input order
    COutIdentity m_identity;
};
