#pragma once

#include "os/CCriticalSection.h"

#include <atomic>
#include <cstdint>
#include <deque>

// Results of CPacketFifo::Push.
inline constexpr int FIFO_STORED = 0;    // copied into a free slot
inline constexpr int FIFO_OVERWROTE = 1; // the oldest stored packet was dropped for it
inline constexpr int FIFO_FULL = 2;      // nothing stored

// A bounded buffer of packets: a fixed pool of 188-byte slots in one store
// allocated once, copied in on Push and handed out in place. Every slot is
// stored, free, or on loan to a consumer between Pop and Release. The input
// keeps what arrives before it is ready here (PushOverwriting, the oldest
// dropped first) and runs its analysis over the stored slots under the
// lock (LockQueue / UnlockQueue), all on its reader thread; the lock lets
// a consumer on another thread take slots out meanwhile. Owned by the
// input's analysis.
class CPacketFifo
{
public:
    explicit CPacketFifo(int nCapacity); // bytes, a multiple of 188
    ~CPacketFifo();
    CPacketFifo(const CPacketFifo&) = delete;
    CPacketFifo& operator=(const CPacketFifo&) = delete;

    // 0: a push into a full FIFO overwrites the oldest packet; else refuses.
    void SetOverflowTreatment(int nTreatment);
    // Copies 188 bytes in, as the overflow treatment says when full.
    int Push(const unsigned char* pPacket);
    // Like Push under the overwriting treatment, whatever the treatment is.
    int PushOverwriting(const unsigned char* pPacket);
    // The oldest stored slot, now on loan; null when nothing is stored.
    unsigned char* Pop();
    // Gives a slot from Pop back; it is reused after every slot freed before it.
    void Release(unsigned char* pSlot);
    // Enters the lock and hands out the stored slots, oldest first, for
    // reading; UnlockQueue must follow.
    const std::deque<unsigned char*>& LockQueue();
    void UnlockQueue();
    // Packets ever appended to the stored slots. With the lock held, the
    // oldest stored packet is number GetPushCountLocked() - size() of them,
    // so a reader can tell which packets it has already seen.
    uint64_t GetPushCountLocked() const { return m_nPushCount; }
    bool IsEmpty();

    // RAII form of LockQueue / UnlockQueue.
    class CQueueLock
    {
    public:
        explicit CQueueLock(CPacketFifo& fifo) : m_fifo(fifo), m_queue(fifo.LockQueue()) {}
        ~CQueueLock() { m_fifo.UnlockQueue(); }
        CQueueLock(const CQueueLock&) = delete;
        CQueueLock& operator=(const CQueueLock&) = delete;
        const std::deque<unsigned char*>& Queue() const { return m_queue; }
        uint64_t PushCount() const { return m_fifo.GetPushCountLocked(); }

    private:
        CPacketFifo& m_fifo;
        const std::deque<unsigned char*>& m_queue;
    };

private:
    int PushLocked(const unsigned char* pPacket, bool bOverwrite);

    unsigned char* m_pStore;                  // every slot, 188 bytes each
    std::deque<unsigned char*> m_dataQueue;   // stored slots, oldest first
    std::deque<unsigned char*> m_freeQueue;   // free slots, next to use first
    std::atomic<int> m_nOverflowTreatment{1}; // may change while the reader pushes
    uint64_t m_nPushCount = 0;                // packets appended to m_dataQueue
    os::CCriticalSection m_lock;              // guards both queues, m_nPushCount and slot copies
};
