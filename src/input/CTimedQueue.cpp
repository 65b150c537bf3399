#include "input/CTimedQueue.h"

#include <chrono>

namespace {

constexpr uint64_t kWaiterCheckEvery = 64; // pops between looks for a waiting reader

uint64_t RoundUpPow2(int n)
{
    uint64_t v = 1;
    while (v < uint64_t(n > 1 ? n : 1)) {
        v <<= 1;
    }
    return v;
}

} // namespace

CTimedQueue::CTimedQueue(int nCapacity)
    // Not cleared: an entry is written before it is read, and untouched pages
    // cost no memory until the input fills them.
    : m_pRing(new CTimedPacket[RoundUpPow2(nCapacity)]), m_nMask(RoundUpPow2(nCapacity) - 1)
{
}

CTimedPacket* CTimedQueue::Reserve()
{
    if (m_nWritten - m_nHeadSeen > m_nMask) {
        m_nHeadSeen = m_nHead.load(std::memory_order_acquire);
        if (m_nWritten - m_nHeadSeen > m_nMask) {
            return nullptr;
        }
    }
    return &m_pRing[m_nWritten & m_nMask];
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
        return m_nWritten - m_nHead.load(std::memory_order_seq_cst) <= m_nMask;
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
    // A waiting reader is looked for once per stretch, not per packet (a
    // sequentially consistent store each time would cost more than the rest
    // of the packet's way), and woken per batch: a quarter of the ring freed
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
                m_nRoomWakeAt = nHead + (m_nMask + 1) / 4;
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
