#pragma once

#include "input/CProgramDescriptors.h"

#include <cstddef>
#include <functional>

// What of an input program's PMT descriptors the output PMT can carry.
// Used by CPsiBuilder, on the thread that numbers the programs.

// Removes the CA descriptors of the program_info loop and of every stream:
// they name ECM PIDs that the multiplex does not carry. Returns how many.
int RemoveCaDescriptors(CProgramDescriptors& descriptors);

// Keeps the CA descriptors of every loop for a multiplex that carries the
// ECM PIDs: each CA_PID becomes OutPid(CA_PID); one whose PID has no output
// PID (OutPid negative) is left out. Returns how many were left out.
int PassCaDescriptors(CProgramDescriptors& descriptors, const std::function<int(int)>& OutPid);

// Bytes of the PMT section, table_id through CRC_32, for nStreams entries
// with these descriptors (streams past the end of descriptors.vEs have none).
int PmtSectionBytes(const CProgramDescriptors& descriptors, size_t nStreams);

struct CPmtFit
{
    int nDropped = 0;     // descriptors left out
    int nBytesBefore = 0; // the section as the input's descriptors would make it
    int nBytesAfter = 0;  // the section as it goes out
};

// Leaves descriptors out until the section fits nMaxBytes. The least
// essential go first: user-defined tags, then the others, then those that
// say what a stream is or how to descramble it (language, registration, CA,
// audio and subtitle coding, stream identifier); within each kind, from the
// last stream backwards, the program_info loop last. The program's stream entries always fit (the
// caller limits their number), so the result always fits.
CPmtFit FitPmtSection(CProgramDescriptors& descriptors, size_t nStreams, int nMaxBytes);
