#pragma once

#include "mux/CPsiBuilder.h"
#include "ts/TsConstants.h"

#include <array>
#include <cstdint>
#include <vector>

// Repeats the output tables in output time: the slot index, slot n leaving
// at n * kTsPacketSize * 8 / rate seconds. No threads, no clock: the mux
// core asks it every slot and, when a table packet is due, takes it before
// anything else. Owned and used by the mux core on one thread.
//
// A new set leads: every table is due at once, in the order given. After
// that each table keeps a phase of its own, its place in the interval in
// proportion to the packets of the tables before it, so that the tables
// spread over the interval instead of leaving in one burst; a table reaches
// its phase through starts never closer than half an interval nor further
// apart than one. A table of several packets goes out packet after packet,
// nothing in between, so no two tables of one PID interleave their
// sections. Continuity counters go on per PID across repetitions and sets.
class CTableCarousel
{
public:
    explicit CTableCarousel(int64_t nIntervalSlots); // the repetition interval in slots, >= 1

    // Replaces the tables (the first call: the starting set). Every table of
    // the new set is due at nNowSlot, in the order given (PAT first); a table
    // no longer in the set stops. A table half sent is finished first: cut
    // off, its section would reach receivers broken.
    void SetTables(std::vector<CPsiTable> vTables, int64_t nNowSlot);

    // The slot from which a table packet is due; INT64_MAX when none.
    int64_t GetNextDueSlot() const { return m_nNextDue; }

    // When a packet is due at nSlot (slots ascending): writes it,
    // kTsPacketSize bytes with its continuity counter, to pOut and returns true.
    bool TakeDue(int64_t nSlot, uint8_t* pOut);

    int64_t GetPacketsSent() const { return m_nSent; }
    // Packets of one full cycle of every table.
    int GetSetPacketCount() const { return m_nSetPackets; }

private:
    struct CDue
    {
        int64_t nSlot; // the table's next start is due here
        size_t nTable; // index in m_vTables; the lower goes first on a tie
    };
    static bool Later(const CDue& a, const CDue& b)
    {
        return a.nSlot != b.nSlot ? a.nSlot > b.nSlot : a.nTable > b.nTable;
    }
    int64_t NextStart(size_t nTable, int64_t nStart) const;
    void UpdateNextDue(int64_t nSlot);

    const int64_t m_nInterval;        // slots between starts of one table, at most
    const int64_t m_nHalf;            // slots between starts of one table, at least
    std::vector<CPsiTable> m_vTables; // the current set
    std::vector<int64_t> m_vPhase; // per table: slots from m_nAnchor to its place in the interval
    std::vector<CDue> m_vHeap;     // tables waiting, earliest due on top; capacity kept
    int64_t m_nAnchor = 0;         // slot of the current set's start
    int m_nSetPackets = 0;         // packets of m_vTables
    const CPsiTable* m_pSending = nullptr; // the table going out; null between tables
    size_t m_nSendingTable = 0;            // its index, when it is of the current set
    bool m_bSendingCurrent = false;        // false: a table of a replaced set, finishing
    size_t m_nSendingPacket = 0;           // its next packet
    int64_t m_nSendingStart = 0;           // slot of its first packet
    int64_t m_nSendingDue = 0;             // slot its start was due
    CPsiTable m_finishing;                 // a replaced set's table half sent when it went
    int64_t m_nNextDue = INT64_MAX;        // slot
    int64_t m_nSent = 0;                   // packets
    std::array<uint8_t, kPidCount> m_vCc;  // last counter sent, per PID
};
