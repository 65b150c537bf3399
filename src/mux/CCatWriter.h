#pragma once

#include "input/CProgramDescriptors.h"

#include <cstdint>
#include <map>
#include <vector>

struct dvbpsi_s;
struct CPsiTable;

// The output's CAT: the CA descriptors of every input's CAT, in input order,
// each naming its EMM PID as the output carries it. An input's EMM PIDs get
// output PIDs from the EMM block (kFirstEmmPid to kLastEmmPid), below every
// program's block, and keep them for the run. Used by the PSI builder,
// which owns it, on whichever thread builds the tables; no lock.
class CCatWriter
{
public:
    // Input nInput's CAT as it now stands (bHasCat false: it has none).
    // New EMM PIDs get the next free PID of the block (vUsed: per output
    // PID, taken), written into the input's PID map; a descriptor for which
    // none is left is left out with an error line. True when the output CAT
    // changes.
    bool SetInput(int nInput, bool bHasCat, const CPmtDescriptorList& vCat, int* pPidMap,
                  std::vector<uint8_t>& vUsed);
    // No input has a CAT: the output has none either.
    bool IsEmpty() const { return m_inputs.empty(); }
    // The CAT's descriptors as they go out, in one section (those past its
    // 1,024 bytes left out, with a warning line).
    CPmtDescriptorList GetDescriptors() const;
    // The CAT at version nVersion into table (PID 0x0001, table_id 0x01);
    // false with an error line when libdvbpsi failed.
    bool Build(dvbpsi_s* h, int nVersion, CPsiTable& table) const;

private:
    std::map<int, CPmtDescriptorList> m_inputs; // by input, descriptors with output EMM PIDs
};
