#include "input/CQueueWriter.h"

#include "ts/TsConstants.h"

#include <cstring>

bool CQueueWriter::HoldsBack(bool bReplaying, bool& bBegins)
{
    bBegins = false;
    if (!m_bLive) {
        return false;
    }
    if (bReplaying || !m_bOutputBegun.load(std::memory_order_acquire)) {
        return true;
    }
    bBegins = !m_bQueuing;
    m_bQueuing = true;
    return false;
}

CTimedPacket* CQueueWriter::Reserve(bool bPacket)
{
    CTimedPacket* pSlot = m_queue.Reserve();
    while (pSlot == nullptr) {
        const int64_t nNowTicks = os::ToMicros(m_pClock->Now()) * (kPcrHz / 1'000'000);
        if (m_bLive && CQueueOverflow::TryGrow(m_queue, nNowTicks)) {
            pSlot = m_queue.Reserve();
            continue;
        }
        // A packet that finds no room is lost data only where the reader
        // may not wait (a live input); what a reader holds or still hands
        // over once the run was stopped is no loss: the run ended there.
        if (m_bDropWhenFull || m_bLive) {
            if (bPacket) {
                m_nDropped.fetch_add(1, std::memory_order_relaxed);
                m_overflow.NoteDrop(m_queue, GetNumber());
            }
            return nullptr;
        }
        if (!m_queue.WaitForRoom()) {
            return nullptr;
        }
        pSlot = m_queue.Reserve();
    }
    return pSlot;
}

void CQueueWriter::Queue(const unsigned char* pData, int64_t nPos, int32_t nMargin)
{
    CTimedPacket* pSlot = Reserve(true);
    if (pSlot == nullptr) {
        return;
    }
    std::memcpy(pSlot->vData, pData, kTsPacketSize);
    unsigned char vMark[kTsPacketSize];
    if (m_marker.Mark(pSlot->vData, vMark)) {
        // The flag needs a packet of its own, ahead of this one.
        std::memcpy(pSlot->vData, vMark, kTsPacketSize);
        pSlot->nChange = 0;
        pSlot->nMargin = CTimedPacket::kNoMargin;
        pSlot->nTime = nPos;
        m_queue.CommitReserved();
        pSlot = Reserve(true);
        if (pSlot == nullptr) {
            return;
        }
        std::memcpy(pSlot->vData, pData, kTsPacketSize);
    }
    pSlot->nChange = 0;
    pSlot->nMargin = nMargin;
    pSlot->nTime = nPos; // its position until it is timed
    m_queue.CommitReserved();
    m_overflow.NoteQueued(m_queue, GetNumber());
}
