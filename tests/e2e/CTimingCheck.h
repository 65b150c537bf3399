#pragma once

#include "support/CTsReader.h"

#include <cstdint>
#include <map>
#include <string>

// How a multiplex kept the timing of its inputs: for every PES start with a
// PTS, PTS - PCR at that packet (the program's PCR interpolated by packet
// position between the PCRs around it), in the input and in the output, for
// the same PTS. A decoder sees the change of that difference as jitter.
class CTimingCheck
{
public:
    // PTS * 300 - PCR per PTS value, for the PES starts of nPid timed by nPcrPid.
    static std::map<int64_t, int64_t> PesLead(const tsr::CTsReader& reader, uint16_t nPid,
                                              uint16_t nPcrPid);
    // Largest minus smallest change of the lead between input and output
    // over the PTS values both carry, ms; nMatched gets how many matched.
    static double SpreadMs(const std::map<int64_t, int64_t>& in,
                           const std::map<int64_t, int64_t>& out, size_t& nMatched);
    // The longest PCR gap of every PCR PID of the output, ms of PCR time.
    static double MaxPcrGapMs(const tsr::CTsReader& reader);
};
