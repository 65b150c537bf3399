#include "input/CTimedQueue.h"

#include <algorithm>
#include <chrono>
#include <new>

namespace {

constexpr uint64_t kWaiterCheckEvery = 64; // pops between looks for a waiting reader

uint64_t RoundUpPow2(uint64_t n)
{
    uint64_t v = 1;
    while (v < n) {
        v <<= 1;
    }
    return v;
}

} // namespace

CTimedQueue::CTimedQueue(int nCapacity, int nMaxCapacity)
    : m_nMaxLimit(uint64_t(std::max({nCapacity, nMaxCapacity, 1}))),
      m_nLimit(uint64_t(std::max(nCapacity, 1)))
{
    // Two blocks more than the largest limit: the producer may start a block
    // while the consumer still reads the one before the oldest it holds.
    const uint64_t nSlots = RoundUpPow2((m_nMaxLimit + kBlockPackets - 1) / kBlockPackets + 2);
    m_pTable = std::make_unique<CBlock*[]>(nSlots);
    m_nTableMask = nSlots - 1;
}

CTimedQueue::~CTimedQueue() = default;

bool CTimedQueue::Grow(int nCapacity)
{
    const uint64_t nWanted = std::min(uint64_t(std::max(nCapacity, 1)), m_nMaxLimit);
    if (nWanted <= m_nLimit.load(std::memory_order_relaxed)) {
        return false;
    }
    m_nLimit.store(nWanted, std::memory_order_relaxed);
    return true;
}

bool CTimedQueue::TakeBlock(uint64_t nPos)
{
    CBlock* pBlock = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mtxSpare);
        if (!m_vSpare.empty()) {
            pBlock = m_vSpare.back();
            m_vSpare.pop_back();
        }
    }
    if (pBlock == nullptr) {
        // Not cleared: an entry is written before it is read.
        std::unique_ptr<CBlock> pNew(new (std::nothrow) CBlock);
        if (!pNew) {
            return false;
        }
        pBlock = pNew.get();
        m_vBlocks.push_back(std::move(pNew));
    }
    m_pTable[(nPos >> kBlockShift) & m_nTableMask] = pBlock;
    m_nBlockAt = nPos >> kBlockShift;
    return true;
}

CTimedPacket* CTimedQueue::Reserve()
{
    const uint64_t nLimit = m_nLimit.load(std::memory_order_relaxed);
    if (m_nWritten - m_nHeadSeen >= nLimit) {
        m_nHeadSeen = m_nHead.load(std::memory_order_acquire);
        if (m_nWritten - m_nHeadSeen >= nLimit) {
            return nullptr;
        }
    }
    if ((m_nWritten >> kBlockShift) != m_nBlockAt && !TakeBlock(m_nWritten)) {
        return nullptr;
    }
    return &Entry(m_nWritten);
}

int CTimedQueue::GetFill()
{
    m_nHeadSeen = m_nHead.load(std::memory_order_acquire);
    return int(m_nWritten - m_nHeadSeen);
}

bool CTimedQueue::GetOldestTime(int64_t& nTime)
{
    const uint64_t nHead = m_nHead.load(std::memory_order_acquire);
    if (nHead == m_nTail.load(std::memory_order_relaxed)) {
        return false;
    }
    // Only the producer writes times, and a block the consumer hands back
    // is reused by this thread alone: the entry is there to read, even if it
    // was popped meanwhile.
    nTime = Entry(nHead).nTime;
    return true;
}

void CTimedQueue::Publish(int nCount)
{
    if (nCount <= 0) {
        return;
    }
    m_nTail.store(m_nTail.load(std::memory_order_relaxed) + uint64_t(nCount),
                  std::memory_order_seq_cst);
    if (m_bConsumerWaits.load(std::memory_order_seq_cst)) {
        Wake();
    }
}

void CTimedQueue::PublishEnd()
{
    m_bEnd.store(true, std::memory_order_seq_cst);
    Wake();
}

void CTimedQueue::Abort()
{
    m_bAbort.store(true, std::memory_order_seq_cst);
    Wake();
}

void CTimedQueue::Wake()
{
    {
        std::lock_guard<std::mutex> lock(m_mtxWait);
    }
    m_cvWait.notify_all();
}

bool CTimedQueue::WaitForRoom()
{
    auto HasRoom = [this] {
        return m_nWritten - m_nHead.load(std::memory_order_seq_cst) <
               m_nLimit.load(std::memory_order_relaxed);
    };
    while (!HasRoom()) {
        if (m_bAbort.load(std::memory_order_acquire)) {
            return false;
        }
        m_bProducerWaits.store(true, std::memory_order_seq_cst);
        {
            std::unique_lock<std::mutex> lock(m_mtxWait);
            // The timeout only bounds a wake lost to a consumer that went away.
            m_cvWait.wait_for(lock, std::chrono::milliseconds(100), [&] {
                return HasRoom() || m_bAbort.load(std::memory_order_acquire);
            });
        }
        m_bProducerWaits.store(false, std::memory_order_relaxed);
    }
    return !m_bAbort.load(std::memory_order_acquire);
}

void CTimedQueue::Pop()
{
    const uint64_t nHead = m_nHead.load(std::memory_order_relaxed) + 1;
    if ((nHead & (kBlockPackets - 1)) == 0) {
        // Read past a block: the producer may have it for a later one. Handed
        // back before the head moves on, so the producer never finds room
        // without a block for it.
        CBlock* pDone = m_pTable[((nHead - 1) >> kBlockShift) & m_nTableMask];
        std::lock_guard<std::mutex> lock(m_mtxSpare);
        m_vSpare.push_back(pDone);
    }
    // A waiting reader is looked for once per stretch, not per packet (a
    // sequentially consistent store each time would cost more than the rest
    // of the packet's way), and woken per batch: a quarter of the queue freed
    // is a useful stretch of work. Its wait re-checks the room on its own now
    // and then, so a look that comes a stretch late only delays it.
    if ((nHead & (kWaiterCheckEvery - 1)) != 0) {
        m_nHead.store(nHead, std::memory_order_release);
        return;
    }
    m_nHead.store(nHead, std::memory_order_seq_cst);
    if (m_bProducerWaits.load(std::memory_order_seq_cst)) {
        if (m_nRoomWakeAt == 0 || nHead >= m_nRoomWakeAt) {
            if (m_nRoomWakeAt != 0) {
                m_nRoomWakeAt = 0;
                Wake();
            } else {
                m_nRoomWakeAt =
                    nHead + std::max<uint64_t>(m_nLimit.load(std::memory_order_relaxed) / 4, 1);
            }
        }
    } else {
        m_nRoomWakeAt = 0;
    }
}

void CTimedQueue::WaitForData(int64_t nMaxMicros)
{
    m_bConsumerWaits.store(true, std::memory_order_seq_cst);
    {
        std::unique_lock<std::mutex> lock(m_mtxWait);
        m_cvWait.wait_for(lock, std::chrono::microseconds(nMaxMicros), [this] {
            return m_nTail.load(std::memory_order_seq_cst) !=
                       m_nHead.load(std::memory_order_relaxed) ||
                   m_bEnd.load(std::memory_order_acquire) ||
                   m_bAbort.load(std::memory_order_acquire);
        });
    }
    m_bConsumerWaits.store(false, std::memory_order_relaxed);
}
