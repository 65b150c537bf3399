#include "input/CPacketFifo.h"

#include "ts/TsConstants.h"

#include <cstring>

CPacketFifo::CPacketFifo(int nCapacity)
{
    const int nSlots = nCapacity > 0 ? nCapacity / kTsPacketSize : 0;
    // Not cleared: a slot is written before it is read, and untouched pages
    // cost no memory until the input needs them.
    m_pStore = new unsigned char[size_t(nSlots) * kTsPacketSize];
    for (int i = 0; i < nSlots; ++i) {
        m_freeQueue.push_back(m_pStore + size_t(i) * kTsPacketSize);
    }
}

CPacketFifo::~CPacketFifo()
{
    delete[] m_pStore;
}

void CPacketFifo::SetOverflowTreatment(int nTreatment)
{
    m_nOverflowTreatment.store(nTreatment, std::memory_order_relaxed);
}

int CPacketFifo::Push(const unsigned char* pPacket)
{
    os::CCsGuard guard(m_lock);
    return PushLocked(pPacket, m_nOverflowTreatment.load(std::memory_order_relaxed) == 0);
}

int CPacketFifo::PushOverwriting(const unsigned char* pPacket)
{
    os::CCsGuard guard(m_lock);
    return PushLocked(pPacket, true);
}

int CPacketFifo::PushLocked(const unsigned char* pPacket, bool bOverwrite)
{
    int nResult = FIFO_STORED;
    unsigned char* pSlot = nullptr;
    if (!m_freeQueue.empty()) {
        pSlot = m_freeQueue.front();
        m_freeQueue.pop_front();
    } else if (bOverwrite && !m_dataQueue.empty()) {
        pSlot = m_dataQueue.front();
        m_dataQueue.pop_front();
        nResult = FIFO_OVERWROTE;
    } else {
        // Refused, or every slot is on loan and there is nothing to overwrite.
        return FIFO_FULL;
    }
    m_dataQueue.push_back(pSlot);
    ++m_nPushCount;
    memcpy(pSlot, pPacket, kTsPacketSize);
    return nResult;
}

unsigned char* CPacketFifo::Pop()
{
    os::CCsGuard guard(m_lock);
    if (m_dataQueue.empty()) {
        return nullptr;
    }
    unsigned char* pSlot = m_dataQueue.front();
    m_dataQueue.pop_front();
    return pSlot;
}

void CPacketFifo::Release(unsigned char* pSlot)
{
    if (pSlot == nullptr) {
        return;
    }
    os::CCsGuard guard(m_lock);
    m_freeQueue.push_back(pSlot);
}

const std::deque<unsigned char*>& CPacketFifo::LockQueue()
{
    m_lock.Enter();
    return m_dataQueue;
}

void CPacketFifo::UnlockQueue()
{
    m_lock.Leave();
}

bool CPacketFifo::IsEmpty()
{
    os::CCsGuard guard(m_lock);
    return m_dataQueue.empty();
}
