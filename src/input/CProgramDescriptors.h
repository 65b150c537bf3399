#pragma once

#include <cstdint>
#include <vector>

// One descriptor as a PMT carries it: its tag and its body.
struct CPmtDescriptor
{
    uint8_t nTag;
    std::vector<uint8_t> vData; // descriptor_length bytes, at most 255
    bool operator==(const CPmtDescriptor& o) const { return nTag == o.nTag && vData == o.vData; }
};
using CPmtDescriptorList = std::vector<CPmtDescriptor>;

// The descriptors of one program of an input, in PMT order. _PROGRAM_INFO is
// allocated and read by clients and cannot grow, so an input's table set
// keeps these in a list of their own, one entry per _PROGRAM_INFO in the
// same order. Written with the set; read-only after.
struct CProgramDescriptors
{
    CPmtDescriptorList vProgramInfo;     // the program_info loop
    std::vector<CPmtDescriptorList> vEs; // one per entry of vecEsInfo, same order
    // The program's program_number in its input's PAT and PMT; -1 when
    // unknown. Log lines name a program by it, not by its place in the list.
    int nProgramNumber = -1;
};
