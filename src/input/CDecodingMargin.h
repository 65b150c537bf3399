#pragma once

#include "braidmill.h"

#include <cstdint>
#include <vector>

// The decoding margin of an input's PES: the DTS (else the PTS) of a PES
// start less its program's PCR at that packet, which is how long a decoder
// has the data before it needs it. The muxer may delay a program's packets
// by no more than this. The PCR at a packet is the program's latest PCR
// carried forward at that PID's own rate; the program's clock is whichever
// of its PIDs carried a PCR last, so that PCRs off the PMT's PCR_PID still
// count. Fed by the input's reader thread alone; no lock. Owned by the
// input's packet path.
class CDecodingMargin
{
public:
    static constexpr int32_t kNone = INT32_MIN;
    // Margins further from zero than this are no margin: a time stamp that
    // far off the PCR is on another clock (or garbage).
    static constexpr int64_t kMaxMarginTicks = 10 * 27'000'000;

    CDecodingMargin();

    // The programs as the input's tables give them (each time they change).
    void SetPrograms(const std::vector<_PROGRAM_INFO>& vPrograms);
    // A packet the input keeps, at position nPos (packets since the input's
    // start), with its PCR (-1 none). Returns the margin of the PES it
    // starts, 90 kHz ticks, or kNone.
    int32_t Look(const uint8_t* pData, int nPid, int64_t nPcr, int64_t nPos);

    // The DTS, else the PTS, of the PES that starts in the packet; -1 none.
    static int64_t PesTime(const uint8_t* pData);

private:
    struct CClock
    {
        int nPid = -1;
        int64_t nPcr = -1;            // last PCR, ticks
        int64_t nPos = 0;             // its packet position
        double fTicksPerPacket = 0.0; // from the last two PCRs; 0 unknown
    };
    CClock* ClockOf(int nPid, bool bCreate);

    std::vector<int16_t> m_vProgramOf;         // per PID: program index, -1 none
    std::vector<std::vector<int>> m_vPids;     // per program: its PIDs, PCR_PID first
    std::vector<int16_t> m_vClockOf;           // per PID: index into m_vClocks, -1 none
    std::vector<CClock> m_vClocks;             // PIDs that carried a PCR
};
