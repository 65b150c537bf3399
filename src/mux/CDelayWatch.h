#pragma once

#include "mux/COutputTime.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Judges how long each output program's packets wait in the muxer beyond
// their due slot against what its decoders can take. A program's decoding
// margin is the smallest DTS (else PTS) less PCR of its PES so far, as its
// input measured it; a packet is late when its delay leaves less than the
// guard of that margin (or, for a margin under twice the guard, less than
// half of it), so that its data may reach a decoder after its time. A
// program whose margin is not known yet (no time stamp seen, or none at
// all) is allowed the guard itself. Delay short of late is only a figure:
// the largest per program. Used by the slot scheduler on its thread; no
// lock. Times in slots except the margins (27 MHz ticks).
class CDelayWatch
{
public:
    struct CProgram
    {
        int64_t nMargin = -1;       // smallest margin so far, ticks; -1 not known
        int64_t nLimitSlots = 0;    // delay beyond which a packet is late
        int64_t nMaxDelaySlots = 0; // largest delay so far
        int64_t nLate = 0;          // packets delayed past the limit
    };

    // nGuardSlots: the margin a delay must leave; time: the output's, to
    // turn margins into slots (kept by reference).
    CDelayWatch(int64_t nGuardSlots, const COutputTime& time);

    // A packet of program nProgram (-1: of none) with the margin its input
    // gave it (ticks; negative: none) left nDelaySlots after its due slot. True
    // when it is late.
    bool OnPacket(int nProgram, int64_t nMargin, int64_t nDelaySlots);

    // The program's figures; null for one that sent nothing yet.
    const CProgram* Find(int nProgram) const
    {
        return nProgram >= 0 && size_t(nProgram) < m_vPrograms.size()
                   ? &m_vPrograms[size_t(nProgram)]
                   : nullptr;
    }
    int64_t GetLimitSlots(int nProgram) const;
    // The error line for a late packet of program nProgram (its number
    // nNumber, -1 none) of input nInput (0-based), nDelaySlots late.
    void LogLate(size_t nInput, int nProgram, int nNumber, int64_t nDelaySlots) const;

private:
    CProgram& Program(int nProgram);

    int64_t m_nGuardSlots;
    const COutputTime& m_time;
    std::vector<CProgram> m_vPrograms; // by output program index
};
