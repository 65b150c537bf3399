#pragma once

#include "braidmill.h"
#include "input/CProgramDescriptors.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A service as the input's SDT (actual transport stream) describes it.
struct CServiceInfo
{
    std::string sProvider;
    std::string sName;
    int nServiceType = 0; // service_type of the service descriptor
    bool bFreeCa = false; // free_CA_mode: some of its streams are scrambled
    bool operator==(const CServiceInfo& o) const
    {
        return sProvider == o.sProvider && sName == o.sName && nServiceType == o.nServiceType &&
               bFreeCa == o.bFreeCa;
    }
};
using CServiceMap = std::map<int, CServiceInfo>; // by program_number (service_id)

// An input's tables as they stand at one point of its stream: what the
// reader thread hands to the muxer, which numbers the programs from it.
// Written once by the reader thread, read-only after.
struct CInputTables
{
    uint32_t nSequence = 0;                        // 1 for the set the input became ready with
    std::vector<_PROGRAM_INFO> vPrograms;          // programs whose PMT is known
    std::vector<CProgramDescriptors> vDescriptors; // parallel to vPrograms
    CServiceMap services;
    struct CMissing
    {
        int nProgramNumber;
        int nPmtPid;
    };
    std::vector<CMissing> vMissing; // in the PAT, PMT not yet seen
    bool bHasCat = false;           // a CAT has been decoded
    CPmtDescriptorList vCat;        // its CA descriptors (they name the EMM PIDs)
    // The PIDs of the input's conditional access: the ECM PIDs its programs'
    // CA descriptors name and the EMM PIDs of its CAT, ascending.
    std::vector<int> CaPids() const;
    std::vector<int> vAbsent;       // programs chosen that the PAT does not name
};
