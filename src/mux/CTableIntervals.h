#pragma once

#include "mux/CPsiTable.h"
#include "mux/MuxConstants.h"

#include <cstdint>
#include <vector>

// How often each kind of output table repeats. PAT, PMTs and the CAT go
// every 80 ms. The SDT and the NIT do too while the whole set takes a small share of the
// output; past it they repeat as rarely as that share needs, the SDT up to
// every second and the NIT every 5 s (inside DVB's 2 s and 10 s), before the
// tables take more of the rate. An interval set by hand stays as set. A value
// type: the engine chooses once per run, on its own thread.
class CTableIntervals
{
public:
    // 0 (the default): chosen from the load. The caller checks the range.
    void SetSdtMs(int nMs) { m_nSdtSet = nMs; }
    void SetNitMs(int nMs) { m_nNitSet = nMs; }

    // Chooses the intervals not set by hand for these tables at an output of
    // nRate bit/s; 0 (no rate yet) leaves them at their shortest.
    void Choose(const std::vector<CPsiTable>& vTables, int64_t nRate);

    // The interval of a table of this table_id, ms.
    int GetMs(uint8_t nTableId) const;
    int GetSdtMs() const { return m_nSdtMs; }
    int GetNitMs() const { return m_nNitMs; }
    // What a table of this table_id really repeats at, ms: a little inside
    // its interval, and for an interval of 80 ms or more a multiple of what
    // PAT and PMTs repeat at (so that it keeps its own place among them).
    int GetCycleMs(uint8_t nTableId) const { return CycleOf(GetMs(nTableId)); }
    static int CycleOf(int nMs)
    {
        const int nBase = kPsiRepeatMs * kTableCycleNum / kTableCycleDen;
        const int nCycle = nMs * kTableCycleNum / kTableCycleDen;
        return nMs >= kPsiRepeatMs ? nCycle / nBase * nBase : nCycle;
    }

    // Bit/s the tables take at their cycles, rounded up.
    long long BitRate(const std::vector<CPsiTable>& vTables) const;

private:
    int m_nSdtSet = 0;              // ms; 0 chosen
    int m_nNitSet = 0;              // ms; 0 chosen
    int m_nSdtMs = kPsiRepeatMs;    // chosen or set
    int m_nNitMs = kPsiRepeatMs;
};
