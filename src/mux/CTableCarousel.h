#pragma once

#include "mux/CPsiTable.h"
#include "ts/TsConstants.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Repeats the output tables in output time: the slot index, slot n leaving
// at n * kTsPacketSize * 8 / rate seconds. No threads, no clock: the mux
// core asks it every slot and, when a table packet is due, takes it before
// anything else. Owned and used by the mux core on one thread.
//
// A new set leads: every table is due at once, in the order given. After
// that each table keeps a phase of its own, its place in its interval in
// proportion to the packets of the tables of that interval before it, so
// that the tables spread over the interval instead of leaving in one burst
// (and the packets of a table of several are spread over its share);
// a table reaches its phase through starts never closer than the least gap
// (half its interval unless set) nor further apart than one. Tables of one kind (table_id) share
// an interval. A table of several packets goes out whole before the next
// table starts (content may come between its packets), so no two tables of
// one PID interleave their sections. Continuity counters go on per PID across repetitions and sets.
class CTableCarousel
{
public:
    explicit CTableCarousel(int64_t nIntervalSlots); // the repetition interval in slots, >= 1

    // The interval of the tables of one table_id, slots (>= 1), from the
    // next SetTables on. One longer than the constructor's is taken down to
    // a multiple of it.
    void SetInterval(uint8_t nTableId, int64_t nSlots);
    // The least gap between two starts of a table, slots (from the next
    // SetTables on): at most half an interval, which is what it is unless
    // set. A short one lets a large set that left in one burst spread over
    // its first round instead of crowding into the part of it that lies
    // half an interval on.
    void SetMinGap(int64_t nSlots);

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
    int64_t MinGap(int64_t nLayout) const;
    void UpdateNextDue(int64_t nSlot);

    const int64_t m_nBase;                  // the constructor's interval, slots
    int64_t m_nMinGap = INT64_MAX;          // least gap between starts, slots
    std::array<int64_t, 256> m_vIntervalOf; // slots between starts, per table_id
    std::vector<CPsiTable> m_vTables;       // the current set
    std::vector<int64_t> m_vPhase;    // per table: slots from m_nAnchor to its place in its interval
    std::vector<int64_t> m_vInterval; // per table: slots between its starts, at most
    std::vector<CDue> m_vHeap;     // tables waiting, earliest due on top; capacity kept
    int64_t m_nAnchor = 0;         // slot of the current set's start
    int m_nSetPackets = 0;         // packets of m_vTables
    const CPsiTable* m_pSending = nullptr; // the table going out; null between tables
    size_t m_nSendingTable = 0;            // its index, when it is of the current set
    bool m_bSendingCurrent = false;        // false: a table of a replaced set, finishing
    size_t m_nSendingPacket = 0;           // its next packet
    int64_t m_nSendingStart = 0;           // slot of its first packet
    int64_t m_nSendingDue = 0;             // slot its start was due
    struct CStep
    {
        int64_t nLayout = 1;  // slots of the layout the table has its place in
        int64_t nPackets = 1; // packets of the tables of that layout
    };
    std::vector<CStep> m_vStep;            // per table
    CStep m_step;                          // of the table going out
    bool m_bSpaced = false;                // its packets each have a due slot of their own
    CPsiTable m_finishing;                 // a replaced set's table half sent when it went
    int64_t m_nNextDue = INT64_MAX;        // slot
    int64_t m_nSent = 0;                   // packets
    std::array<uint8_t, kPidCount> m_vCc;  // last counter sent, per PID
};
