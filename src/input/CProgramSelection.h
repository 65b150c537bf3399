#pragma once

#include "input/CInputTables.h"

#include <vector>

// The programs of an input that go on to the muxer, by their program_number
// in the input's PAT: every program (the default) or those chosen. The
// tables the input hands on list the chosen programs alone, so the PID
// filter keeps no other program's PIDs, the muxer never numbers them and the
// input is ready once their PMTs are known. Set by the client before data;
// read by the reader thread after.
class CProgramSelection
{
public:
    // Empty: every program.
    void Choose(std::vector<int> vProgramNumbers) { m_vChosen = std::move(vProgramNumbers); }
    bool Keeps(int nProgramNumber) const;
    // Drops the programs not chosen from the set; the chosen ones that its
    // PAT (its programs and those missing a PMT) does not name go into
    // tables.vAbsent.
    void Apply(CInputTables& tables) const;

private:
    std::vector<int> m_vChosen; // program_numbers; empty: all
};
