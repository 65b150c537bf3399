#include "mux/CMuxRing.h"

#include "ts/TsConstants.h"

#include <cassert>
#include <cstring>

namespace {

// Room test shared by both insertions: the byte limit, not the slot count,
// decides, which always leaves one slot free.
bool HasRoom(int nQueued)
{
    return static_cast<long long>(nQueued) * kTsPacketSize + kTsPacketSize <= kRingBytes;
}

void WriteNullPacket(unsigned char* pData)
{
    std::memset(pData, 0xFF, kTsPacketSize);
    pData[0] = kSyncByte;
    pData[1] = 0x1F; // PID 0x1FFF, high bits
    pData[2] = 0xFF;
    pData[3] = 0x10; // payload only, continuity counter 0
}

} // namespace

CMuxRing::CMuxRing()
    : m_pStore(new unsigned char[static_cast<size_t>(kRingSlots) * kTsPacketSize]),
      m_vSlots(kRingSlots)
{
    for (int i = 0; i < kRingSlots; ++i) {
        _MUX_TS_PKT_T& slot = m_vSlots[i];
        slot.pData = m_pStore + static_cast<size_t>(i) * kTsPacketSize;
        slot.nPcrPid = -1;
        slot.llPtsDelta = -1;
        slot.llDtsDelta = -1;
        WriteNullPacket(slot.pData);
    }
}

CMuxRing::~CMuxRing()
{
    delete[] m_pStore;
}

_MUX_TS_PKT_T& CMuxRing::Slot(int nFromHead)
{
    assert(nFromHead >= 0 && nFromHead < kRingSlots);
    int nIndex = m_nHead + nFromHead;
    if (nIndex >= kRingSlots) {
        nIndex -= kRingSlots;
    }
    return m_vSlots[nIndex];
}

bool CMuxRing::InsertPacket(const _MUX_TS_PKT_T& pkt)
{
    const int nQueued = m_nQueued.load(std::memory_order_relaxed);
    if (!HasRoom(nQueued)) {
        return false;
    }
    _MUX_TS_PKT_T& slot = Slot(nQueued);
    slot.llPtsDelta = pkt.llPtsDelta;
    slot.llDtsDelta = pkt.llDtsDelta;
    slot.nPcrPid = pkt.nPcrPid;
    std::memcpy(slot.pData, pkt.pData, kTsPacketSize);
    // Release: the output thread reads the count outside the lock.
    m_nQueued.store(nQueued + 1, std::memory_order_release);
    return true;
}

bool CMuxRing::InsertPackets(const unsigned char* pData, int nLen)
{
    // Whole packets only: a trailing fragment would be read past nLen.
    for (int nOffset = 0; nOffset + kTsPacketSize <= nLen; nOffset += kTsPacketSize) {
        const int nQueued = m_nQueued.load(std::memory_order_relaxed);
        if (!HasRoom(nQueued)) {
            return false;
        }
        // Only the bytes: the slot's three values keep what they held.
        std::memcpy(Slot(nQueued).pData, pData + nOffset, kTsPacketSize);
        m_nQueued.store(nQueued + 1, std::memory_order_release);
    }
    return true;
}

void CMuxRing::RecycleHead()
{
    const int nQueued = m_nQueued.load(std::memory_order_relaxed);
    if (nQueued > 0) {
        // Free slots must hold the null packet, so the head goes out as
        // stuffing the next time round.
        WriteNullPacket(m_vSlots[m_nHead].pData);
        m_nQueued.store(nQueued - 1, std::memory_order_release);
    }
    m_nHead = (m_nHead + 1 == kRingSlots) ? 0 : m_nHead + 1;
}
