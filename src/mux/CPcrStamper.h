#pragma once

#include "mux/COutputTime.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

// The PCRs of the output: every PCR that leaves is restamped exactly from
// its slot (the first one of a PID, and each one that starts a new time
// base, keeps its own value and becomes the reference), and a PCR-only
// packet is inserted on a programs' PCR PID whose gap would grow past the
// insertion interval. PCRs on other PIDs are restamped the same way but get
// nothing inserted. PCR PIDs whose insertions fall due within a few slots
// of each other start early enough that each gets a slot in time. Used by
// the slot scheduler on its thread; no lock.
class CPcrStamper
{
public:
    // nInsertSlots: the gap after which a PCR-only packet goes in; nMaxSlots:
    // the gap no PCR PID may exceed.
    CPcrStamper(const COutputTime& time, int64_t nInsertSlots, int64_t nMaxSlots);

    // Declares an output PID that carries PCRs; bInsert: a program's PCR
    // PID, kept from growing gaps.
    void AddPid(int nPid, bool bInsert = true);
    // Makes a PID declared before a program's PCR PID, or no longer one.
    void SetInsert(int nPid, bool bInsert);
    // A PID whose content PCRs the caller sets itself (a live input's, on
    // its sender's clock): each one is kept and becomes the reference.
    void FollowPid(int nPid);
    bool IsPcrPid(int nPid) const
    {
        return nPid >= 0 && nPid < int(m_vIndex.size()) && m_vIndex[size_t(nPid)] >= 0;
    }

    // A content packet on a PCR PID, due at nDueSlot, leaves in nSlot:
    // restamps its PCR. Returns true when it carried a PCR.
    bool OnPacket(int64_t nSlot, int64_t nDueSlot, uint8_t* pPacket, int nPid);
    // A live input's packet, due at nDueTicks of output time, leaves in
    // nSlot: its PCR (if any) moves by how late it leaves, before OnPacket.
    void FollowLive(int64_t nSlot, int64_t nDueTicks, uint8_t* pPacket) const;
    // The PID carries nothing more (its input has ended): no insertion.
    void EndPid(int nPid);

    // The slot from which a PCR is due (INT64_MAX: none): a PCR-only packet
    // or, where it is ready, the PID's own next PCR.
    int64_t GetNextDueSlot() const { return m_nNextDue; }
    // The PID whose PCR is due at nSlot, or -1: the one due first, which may
    // be a few slots ahead where others are due right after it.
    int GetDuePid(int64_t nSlot);
    // The slot from which a PCR is due on the PID (INT64_MAX: none).
    int64_t GetDueSlot(int nPid) const;
    // How far ahead of its due slot a PID's own PCR may leave in place of a
    // PCR-only packet, slots (an input whose PCRs come a hair less often
    // than the longest gap, or a slot's rounding).
    int64_t GetEarlySlots() const { return m_nEarlySlots; }
    // Writes the due PCR-only packet for nSlot into pOut; returns its PID,
    // or -1 when none is due.
    int TakeDue(int64_t nSlot, uint8_t* pOut);

    int64_t GetInsertedCount() const { return m_nInserted; }
    // Per PID figures.
    int64_t GetPcrCount(int nPid) const;
    int64_t GetMaxIntervalSlots(int nPid) const; // -1: fewer than two PCRs

private:
    struct CPidState
    {
        int nPid = 0;
        int64_t nRefPcr = -1;         // reference PCR, ticks; -1: no PCR sent yet
        int64_t nRefSlot = 0;         // its slot
        int64_t nLastSlot = -1;       // slot of the last PCR sent
        int64_t nLastDue = -1;        // due slot of the last PCR of the input sent
        int64_t nSpacing = -1;        // due slots between the input's last two PCRs; -1 unknown
        int64_t nInserted = 0;        // PCR-only packets since the input's last PCR
        uint8_t nLastCc = 0;          // counter of the last packet sent on the PID
        bool bRestartPending = false; // a discontinuity was sent; its PCR not yet
        bool bEnded = false;
        bool bInsert = true;  // a program's PCR PID: gaps get PCR-only packets
        bool bFollow = false; // content PCRs kept as set by the caller
        int64_t nPcrs = 0;
        int64_t nMaxInterval = -1; // slots
    };

    int64_t DueOf(const CPidState& state) const;
    void NotePcr(CPidState& state, int64_t nSlot);
    void RecomputeNextDue();

    const COutputTime& m_time;
    int64_t m_nInsertSlots;
    int64_t m_nMaxSlots;
    int64_t m_nEarlySlots;
    std::vector<int> m_vIndex; // per PID: index into m_vStates, -1 none
    std::vector<CPidState> m_vStates;
    std::vector<int64_t> m_vNear; // scratch of RecomputeNextDue; capacity kept
    int64_t m_nNextDue = std::numeric_limits<int64_t>::max();
    int64_t m_nInserted = 0;
};
