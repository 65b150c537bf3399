#pragma once

#include "input/CTimedPacket.h"
#include "ts/TsConstants.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

// How a run of a set length ends: each stream stops after its last PES
// that leaves whole before the end. A PES the end would cut is not written:
// its packets' slots carry null packets instead (a packet with a PCR keeps
// the PCR, adaptation-only), so the output still ends at its exact length
// and a decoder finds no broken access unit at the end. Whether a PES
// leaves whole is judged at its first packet, from the due slots of its
// input's packets queued behind it; only PES that start in the last
// stretch before the end are looked at. Used by the slot scheduler on its
// thread; no lock.
class CPesCut
{
public:
    enum class EWhole
    {
        kYes,
        kNo,
        kUnknown // what is queued does not tell yet: wait for more
    };

    // The run ends before nEndSlot; PES starting from nEndSlot - nLookSlots
    // on are looked at.
    void SetEnd(int64_t nEndSlot, int64_t nLookSlots);
    bool IsNearEnd(int64_t nDueSlot) const { return nDueSlot >= m_nLookFrom; }

    // A packet with payload that starts a PES (payload_unit_start_indicator,
    // the PES start code).
    static bool IsPesStart(const uint8_t* p);
    // Whether the PES that starts with entry k of its queue, packet p on
    // output PID nPid, leaves whole, recorded for its packets (kUnknown:
    // nothing recorded). fnPeek(n) gives entry n (null: not queued yet),
    // fnDue an entry's due slot; nLateSlots how late its packets may leave
    // (content that competes for the slots). bMore: more may still be
    // queued (a wait may tell). A packet that starts no PES goes as it is.
    EWhole Judge(int k, const uint8_t* p, int nPid, int64_t nLateSlots,
                 const std::function<const CTimedPacket*(int)>& fnPeek,
                 const std::function<int64_t(const CTimedPacket&)>& fnDue, bool bMore);
    // A packet of output PID nPid in the slot at p: when its PES is cut,
    // rewritten as a null packet or, carrying a PCR, an adaptation-only one
    // (its counter that of the packet before the PES). True when rewritten.
    bool Apply(uint8_t* p, int nPid) const;

private:
    EWhole Look(int k, int nInPid, int64_t nLateSlots,
                const std::function<const CTimedPacket*(int)>& fnPeek,
                const std::function<int64_t(const CTimedPacket&)>& fnDue, bool bMore) const;

    // Entries looked at behind a PES start, at most: the published part of
    // a full queue, so that a wait for more never waits on a full queue.
    static constexpr int kLookPackets = 1024;

    int64_t m_nEnd = std::numeric_limits<int64_t>::max();      // slot
    int64_t m_nLookFrom = std::numeric_limits<int64_t>::max(); // slot
    std::vector<int8_t> m_vCutCc; // per output PID: -1 sent, else the counter its PCR-only packets carry
};
