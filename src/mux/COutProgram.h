#pragma once

#include "braidmill.h"
#include "input/CProgramDescriptors.h"
#include "ts/TsConstants.h"

#include <vector>

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
