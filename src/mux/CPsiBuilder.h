#pragma once

#include "braidmill.h"
#include "input/CProgramDescriptors.h"
#include "mux/MuxConstants.h"

#include <string>
#include <vector>

struct dvbpsi_psi_section_s;

// What the output's tables say of the multiplex itself.
struct COutIdentity
{
    int nTsId = kOutTsId;                   // PAT and SDT transport_stream_id
    int nOriginalNetworkId = kOutNetworkId; // SDT
    int nNetworkId = kOutNetworkId;         // NIT
    std::string sNetworkName;               // NIT network_name_descriptor; empty: none
};

// One program of the multiplex, as numbered.
struct COutProgram
{
    int nProgramNumber;
    int nPmtPid;
    int nPcrPid;                     // output PCR PID; kPidNull when the program has no PCR
    std::vector<_ES_INFO> vEs;       // output PIDs and stream types, in PMT order
    CProgramDescriptors descriptors; // what the PMT carries; descriptors.vEs parallel to vEs
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
    // without CA descriptors, and with the least essential left out where
    // the section would not fit, each with a warning line.
    void AddInput(int nInput, const std::vector<_PROGRAM_INFO> &programs, int *pPidMap,
                  const std::vector<CProgramDescriptors> *pDescriptors = nullptr);

    const std::vector<COutProgram> &GetPrograms() const { return m_vPrograms; }
    int GetOmittedCount() const { return m_nOmitted; }

    // The PSI set: PAT, the PMTs in numbering order, SDT, NIT, each section
    // starting a packet of its own with continuity counter 0. False (with an
    // error line) when libdvbpsi failed to generate a table.
    bool BuildPackets(std::vector<unsigned char> &vPsi) const;

    // Appends the sections of the list to vBuf as packets of nPid: a section
    // starts a packet (payload_unit_start_indicator, pointer_field 0) and
    // runs on over as many packets as it needs; the last is stuffed with 0xFF.
    static void PacketizeSections(int nPid, const dvbpsi_psi_section_s *pSections,
                                  std::vector<unsigned char> &vBuf);
    // Writes the body of a service descriptor (service_type, provider name,
    // service name) into pBuf and returns its length; -1, leaving pBuf
    // untouched, when it would not fit nCapacity bytes.
    static int BuildServiceDescriptor(unsigned char *pBuf, int nCapacity,
                                      const std::string &sProvider, const std::string &sName);

private:
    // Leaves out the program's CA descriptors and what its PMT section has
    // no room for, with a warning line for each.
    static void FitDescriptors(COutProgram &out, int nInput, size_t nProgram, int nInPmtPid);

    std::vector<COutProgram> m_vPrograms;     // numbering order
    int m_nNextProgram = kFirstProgramNumber; // program number of the next program
    int m_nNextPmtPid = kFirstPmtPid;         // PMT PID of the next program
    int m_nOmitted = 0;                       // programs left out
};
