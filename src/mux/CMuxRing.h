#pragma once

#include "mux/MuxTypes.h"

#include <atomic>
#include <vector>

inline constexpr int kRingBytes = 38'503'400; // room test limit
inline constexpr int kRingSlots = 204'806;    // slots cut from kRingBytes

// The multiplex ring: a circular array of 188-byte slots. The first
// GetQueued() slots from the head hold queued packets in queue order; every
// other slot holds a null packet. The mux thread inserts, the output thread
// writes from the head and recycles; both hold the engine's lock for that.
// GetQueued() may be read without the lock.
class CMuxRing
{
public:
    CMuxRing();
    ~CMuxRing();
    CMuxRing(const CMuxRing&) = delete;
    CMuxRing& operator=(const CMuxRing&) = delete;

    // Queues one packet (its 188 bytes and three values); false when full.
    bool InsertPacket(const _MUX_TS_PKT_T& pkt);
    // Queues nLen / 188 packets; false when the ring fills first (the ones
    // already queued stay queued).
    bool InsertPackets(const unsigned char* pData, int nLen);

    int GetQueued() const { return m_nQueued.load(std::memory_order_acquire); }
    int GetSlotCount() const { return kRingSlots; }
    // The slot nFromHead places behind the head.
    _MUX_TS_PKT_T& Slot(int nFromHead);
    // Moves the head slot to the tail; a queued packet there becomes a null
    // packet again.
    void RecycleHead();

private:
    unsigned char* m_pStore;             // kRingSlots * 188 bytes
    std::vector<_MUX_TS_PKT_T> m_vSlots; // slot objects, store order
    int m_nHead = 0;                     // index of the head slot
    std::atomic<int> m_nQueued{0};       // queued packets from the head
};
