#pragma once

#include "input/CTimedPacket.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// The bounded queue between an input's reader thread (the producer) and the
// muxer (the consumer): a single-producer, single-consumer queue with no lock
// on the packet path. The producer writes packets ahead of what it has
// published (their times are set once the next PCR is known) and publishes
// them in batches; the consumer reads the head in place. Each side blocks on
// a condition only when it has to wait, and wakes the other only when that
// one is waiting. Owned by the input module.
//
// Entries live in blocks of kBlockPackets taken as the producer reaches them
// and handed back by the consumer once it has read past them, so memory
// follows what is queued, not the limit: a live input's limit can grow with
// its rate without every input paying for the largest one.
class CTimedQueue
{
public:
    static constexpr int kBlockPackets = 256;

    // nCapacity: packets it holds at first; nMaxCapacity: what Grow may raise
    // that to (at least nCapacity).
    explicit CTimedQueue(int nCapacity, int nMaxCapacity = 0);
    ~CTimedQueue();
    CTimedQueue(const CTimedQueue&) = delete;
    CTimedQueue& operator=(const CTimedQueue&) = delete;

    // The packets it holds now (from any thread).
    int GetCapacity() const { return int(m_nLimit.load(std::memory_order_relaxed)); }
    int GetMaxCapacity() const { return int(m_nMaxLimit); }
    // Producer: raises the limit to nCapacity, at most to the maximum; never
    // lowers it. False when it stays where it was.
    bool Grow(int nCapacity);
    // Blocks allocated so far, for the memory they take (producer).
    int GetBlockCount() const { return int(m_vBlocks.size()); }

    // Producer. Written = published + pending (written, not yet published).
    // The slot for the next packet, or null when the queue is full (or no
    // memory for a new block is left).
    CTimedPacket* Reserve();
    void CommitReserved() { ++m_nWritten; }
    int GetPendingCount() const
    {
        return int(m_nWritten - m_nTail.load(std::memory_order_relaxed));
    }
    // Packets written and not yet read, pending ones included.
    int GetFill();
    // The k-th pending packet, oldest first.
    CTimedPacket& Pending(int k) { return Entry(m_nTail.load(std::memory_order_relaxed) + k); }
    // The time of the oldest published entry not yet read; false when none.
    bool GetOldestTime(int64_t& nTime);
    // Makes the oldest nCount pending packets visible to the consumer.
    void Publish(int nCount);
    // No more packets will come; what is published stays to be read.
    void PublishEnd();
    // Blocks until there is room, or Abort. False when aborted.
    bool WaitForRoom();
    // Unblocks WaitForRoom for good (the input is being torn down).
    void Abort();

    // Consumer.
    // The oldest published packet, or null.
    const CTimedPacket* Head() const { return const_cast<CTimedQueue*>(this)->HeadMutable(); }
    CTimedPacket* HeadMutable() { return PeekMutable(0); }
    // The k-th published packet from the head (0: the head), or null.
    CTimedPacket* PeekMutable(int k)
    {
        const uint64_t nAt = m_nHead.load(std::memory_order_relaxed) + uint64_t(k);
        // The producer's counter is read only when the copy runs out, so the
        // two sides do not pull one cache line back and forth per packet.
        if (nAt >= m_nTailSeen) {
            m_nTailSeen = m_nTail.load(std::memory_order_acquire);
            if (nAt >= m_nTailSeen) {
                return nullptr;
            }
        }
        return &Entry(nAt);
    }
    void Pop();
    // True once the end is published and every packet read.
    // From any thread: reads the counters themselves, not the consumer's copy.
    bool IsDrained() const
    {
        return m_bEnd.load(std::memory_order_acquire) &&
               m_nHead.load(std::memory_order_acquire) == m_nTail.load(std::memory_order_acquire);
    }
    bool IsEndPublished() const { return m_bEnd.load(std::memory_order_acquire); }
    // Blocks until a packet is published, the end is, or nMaxMicros passed.
    void WaitForData(int64_t nMaxMicros);
    int GetPublishedCount() const
    {
        return int(m_nTail.load(std::memory_order_acquire) -
                   m_nHead.load(std::memory_order_relaxed));
    }

private:
    struct CBlock
    {
        CTimedPacket v[kBlockPackets];
    };
    static constexpr int kBlockShift = 8; // log2 of kBlockPackets
    static_assert((1 << kBlockShift) == kBlockPackets);

    CTimedPacket& Entry(uint64_t nPos)
    {
        return m_pTable[(nPos >> kBlockShift) & m_nTableMask]->v[nPos & (kBlockPackets - 1)];
    }
    // Producer: a block for the one nPos starts; false without memory.
    bool TakeBlock(uint64_t nPos);
    void Wake();

    // Block of position p: m_pTable[(p / kBlockPackets) & m_nTableMask]. The
    // producer sets a slot before it publishes into that block, and reuses
    // the slot only once the consumer has read past the block it held.
    std::unique_ptr<CBlock*[]> m_pTable;
    uint64_t m_nTableMask;
    uint64_t m_nMaxLimit;
    std::vector<std::unique_ptr<CBlock>> m_vBlocks; // every block made; producer only
    std::mutex m_mtxSpare;                          // guards m_vSpare
    std::vector<CBlock*> m_vSpare;                  // read past by the consumer, free to reuse

    std::atomic<uint64_t> m_nLimit; // packets it may hold; producer writes
    // Each side's counter and its copy of the other's sit on lines of their own.
    alignas(64) uint64_t m_nWritten = 0;          // producer only: packets written
    uint64_t m_nHeadSeen = 0;                     // producer only: m_nHead as last read
    uint64_t m_nBlockAt = UINT64_MAX;             // producer only: block index last set up
    alignas(64) std::atomic<uint64_t> m_nTail{0}; // packets published; producer writes
    alignas(64) std::atomic<uint64_t> m_nHead{0}; // packets read; consumer writes
    uint64_t m_nTailSeen = 0;                     // consumer only: m_nTail as last read
    std::atomic<bool> m_bEnd{false};              // set by the producer after its last Publish
    std::atomic<bool> m_bAbort{false};            // set by any thread

    // Waits of either side. A side sets its flag, then re-checks, then sleeps;
    // the other side looks at the flag after each batch (sequentially
    // consistent), so a wake is never lost and costs nothing when nobody waits.
    std::mutex m_mtxWait;                      // guards the waits on m_cvWait
    std::condition_variable m_cvWait;          // room made, data published, end or abort
    std::atomic<bool> m_bProducerWaits{false}; // the producer waits for room
    std::atomic<bool> m_bConsumerWaits{false}; // the consumer waits for data
    uint64_t m_nRoomWakeAt = 0;                // consumer: head count at which to wake the producer
};
