#pragma once

#include "input/CInputTables.h"
#include "ts/TsConstants.h"

#include <cstdint>
#include <vector>

// Which packets of an input go on to the muxer: those of the PIDs its tables
// name (streams and PCR PIDs), none whose header a receiver cannot take, and
// each stream from its first unit start on: one taken up in mid-unit would
// reach decoders as a broken PES. Packets without payload (PCRs) pass while
// a stream waits; where payload after them was dropped, the unit start must
// carry discontinuity_indicator, since its counter jumps from theirs. Used
// by the input's reader thread alone. The PIDs of conditional access (ECM,
// EMM) go on only while CA passes; their sections, like a stream's units,
// are taken from a start on.
class CPidFilter
{
public:
    CPidFilter() : m_vKept(kPidCount, 0), m_vEs(kPidCount, 0), m_vUnit(kPidCount, kStarted) {}

    // The tables' PIDs from now on; a stream newly named waits for its next
    // unit start.
    void Apply(const CInputTables& tables);
    // Whether the ECM and EMM PIDs the tables name go on (default: not).
    void SetCaPass(bool bPass);
    bool IsCaPass() const { return m_bCaPass; }
    // Every stream waits for its next unit start again: what came before
    // was not kept.
    void RestartUnits();
    bool IsKept(int nPid) const
    {
        const uint8_t nKept = m_vKept[size_t(nPid)];
        return nKept == kProgramPid || (nKept == kCaPid && m_bCaPass);
    }
    // A packet of a kept PID: false while it is payload in the middle of a
    // unit. bMark: it starts a unit its counter jumps to.
    bool PassesUnit(const unsigned char* pData, int nPid, bool& bMark)
    {
        bMark = false;
        return m_vUnit[size_t(nPid)] == kStarted || WaitForUnit(pData, nPid, bMark);
    }
    // adaptation_field_control 0 (reserved), or an adaptation field longer
    // than the packet leaves it: handed on, its bytes would read as PCRs and
    // flags to whoever parses it less strictly.
    static bool IsMalformed(const unsigned char* p);

private:
    // Where a stream stands against its first unit start.
    static constexpr uint8_t kStarted = 0; // packets pass
    static constexpr uint8_t kWaiting = 1; // payload dropped until a unit starts
    static constexpr uint8_t kPassed = 2;  // ... and a packet without payload passed
    static constexpr uint8_t kGap = 3;     // ... and payload after it was dropped

    // What m_vKept says of a PID.
    static constexpr uint8_t kProgramPid = 1; // a stream or PCR PID of a program
    static constexpr uint8_t kCaPid = 2;      // an ECM or EMM PID, and nothing else

    bool WaitForUnit(const unsigned char* pData, int nPid, bool& bMark);

    std::vector<uint8_t> m_vKept; // per input PID: 0, kProgramPid or kCaPid
    std::vector<uint8_t> m_vEs;   // per input PID: carries units (a stream, an ECM or EMM PID)
    std::vector<uint8_t> m_vUnit; // per input PID: against its first unit start
    bool m_bCaPass = false;
};
