#pragma once

#include "mux/CPsiBuilder.h"
#include "mux/CPsiTable.h"
#include "mux/CSlotScheduler.h"

#include <cstdint>
#include <vector>

class CInputModule;

// The multiplex's programs and the tables that name them, as they are sent.
// Numbers the inputs' programs through the table builder, at the start and
// whenever a fill of the scheduler stops at a change, and tells the
// scheduler what follows from that: each program's PIDs, number and PCR PID,
// the PCR PIDs of each input, the new table set. Owned by the engine; filled
// on the client's thread before the driver starts, the driver's alone after.
class CMuxPrograms
{
public:
    // The start: the builder numbers what the inputs had when they became
    // ready (the engine adds them), then the first table set is built.
    CPsiBuilder& GetBuilder() { return m_builder; }
    // The tables at version 0 from what was added. False when they could
    // not be built (the error is on the log).
    bool BuildFirstTables();
    // From now on changes go to this scheduler; the inputs (not owned) are
    // read for their new tables and PID maps. Tells it every program.
    void Attach(CSlotScheduler& scheduler, std::vector<CInputModule*> vInputs);

    // Driver thread: a fill stopped at a change; applies it (a PCR move,
    // then an input's new tables) before the next fill.
    void Apply(const CSlotScheduler::CFill& fill);

    const std::vector<CPsiTable>& GetTables() const { return m_vTables; }
    const std::vector<COutProgram>& GetPrograms() const { return m_vPrograms; }
    // The output PCR PIDs of the programs of input nInput (0-based).
    std::vector<int> PcrPidsOf(size_t nInput) const;

private:
    // Input nInput's tables changed at the head of its queue. Renumbers what
    // is new, keeps every PID given, and replaces the tables with a new version.
    void ApplyInputChange(size_t nInput, uint32_t nChange);
    // A program's PCRs moved to another of its PIDs; its PMT names it from here on.
    void ApplyPcrMove(int nProgram, int nFromPid, int nToPid);
    // New tables (version + 1) from the builder's programs, sent from the
    // change on. False when they could not be built.
    bool SendNewTables();
    // Tells the scheduler every program's PIDs, number and PCR PID.
    void MapPrograms();

    CPsiBuilder m_builder; // numbers the programs; renumbers on each change
    std::vector<CPsiTable> m_vTables;    // the set now sent
    std::vector<COutProgram> m_vPrograms; // the builder's, as last taken
    int m_nVersion = 0;                  // version_number of the tables now sent
    CSlotScheduler* m_pScheduler = nullptr; // not owned
    std::vector<CInputModule*> m_vInputs;   // not owned
};
