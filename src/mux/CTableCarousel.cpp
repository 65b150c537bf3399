#include "mux/CTableCarousel.h"

#include "log/CLogger.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

int64_t ValidInterval(int64_t nIntervalSlots)
{
    if (nIntervalSlots >= 1) {
        return nIntervalSlots;
    }
    LogPrint(kLogError, "mux: table interval of %lld slots refused, the tables go every slot",
             (long long)nIntervalSlots);
    return 1;
}

bool IsWhole(const CPsiTable& table)
{
    return !table.vPackets.empty() && table.vPackets.size() % kTsPacketSize == 0 &&
           table.nPid < kPidCount;
}

} // namespace

CTableCarousel::CTableCarousel(int64_t nIntervalSlots)
    : m_nInterval(ValidInterval(nIntervalSlots)), m_nHalf((m_nInterval + 1) / 2)
{
    m_vCc.fill(kCcMask); // the first packet on a PID gets 0
}

void CTableCarousel::SetTables(std::vector<CPsiTable> vTables, int64_t nNowSlot)
{
    if (m_pSending != nullptr && m_bSendingCurrent) {
        m_finishing = std::move(m_vTables[m_nSendingTable]);
        m_pSending = &m_finishing;
        m_bSendingCurrent = false;
    }
    // A table the carousel could never finish would hold every other back.
    const auto itBad = std::remove_if(vTables.begin(), vTables.end(), [](const CPsiTable& t) {
        if (IsWhole(t)) {
            return false;
        }
        LogPrint(kLogError,
                 "mux: table 0x%02X on PID 0x%04X left out: %zu bytes are no whole "
                 "packets",
                 unsigned(t.nTableId), unsigned(t.nPid), t.vPackets.size());
        return true;
    });
    vTables.erase(itBad, vTables.end());

    m_vTables = std::move(vTables);
    m_nAnchor = nNowSlot;
    m_nSetPackets = 0;
    m_vHeap.clear();
    m_vHeap.reserve(m_vTables.size());
    m_vPhase.resize(m_vTables.size());
    for (size_t i = 0; i < m_vTables.size(); ++i) {
        m_vPhase[i] = m_nSetPackets; // packets before the table, scaled below
        m_nSetPackets += int(m_vTables[i].vPackets.size() / kTsPacketSize);
        m_vHeap.push_back(CDue{nNowSlot, i}); // ascending: already a heap
    }
    // Each table's share of the interval is in proportion to its packets:
    // while the set fits the interval no table's slots overlap the next
    // one's, so in steady state every table leaves on time. The set leaves
    // as one burst first; the phases all move back by the largest lead a
    // table has over its place in that burst (bounded so that none comes
    // back within half an interval). Then every table goes from its burst
    // start to its phase in one step of at most an interval, and the second
    // round begins only after the burst has ended.
    int64_t nShift = 0;
    for (int64_t& nPhase : m_vPhase) {
        const int64_t nBefore = nPhase;
        nPhase = nBefore * m_nInterval / m_nSetPackets; // every table has a packet
        nShift = std::max(nShift, nPhase - nBefore);
    }
    nShift = std::min(nShift, m_nInterval - m_nHalf);
    for (int64_t& nPhase : m_vPhase) {
        nPhase -= nShift;
    }
    if (m_pSending == nullptr) {
        m_nNextDue = m_vHeap.empty() ? INT64_MAX : nNowSlot;
    }
}

bool CTableCarousel::TakeDue(int64_t nSlot, uint8_t* pOut)
{
    if (nSlot < m_nNextDue) {
        return false;
    }
    if (m_pSending == nullptr) {
        std::pop_heap(m_vHeap.begin(), m_vHeap.end(), Later);
        m_nSendingTable = m_vHeap.back().nTable;
        m_nSendingDue = m_vHeap.back().nSlot;
        m_vHeap.pop_back();
        m_pSending = &m_vTables[m_nSendingTable];
        m_bSendingCurrent = true;
        m_nSendingPacket = 0;
        m_nSendingStart = nSlot;
    }
    const uint8_t* pPacket = &m_pSending->vPackets[m_nSendingPacket * kTsPacketSize];
    std::memcpy(pOut, pPacket, kTsPacketSize);
    uint8_t& nCc = m_vCc[m_pSending->nPid];
    nCc = (nCc + 1) & kCcMask; // every table packet carries payload
    pOut[3] = uint8_t((pOut[3] & ~kCcMask) | nCc);
    ++m_nSent;
    ++m_nSendingPacket;
    if (m_nSendingPacket * kTsPacketSize == m_pSending->vPackets.size()) {
        if (m_bSendingCurrent) {
            m_vHeap.push_back(CDue{NextStart(m_nSendingTable, m_nSendingStart), m_nSendingTable});
            std::push_heap(m_vHeap.begin(), m_vHeap.end(), Later);
        }
        m_pSending = nullptr;
    }
    UpdateNextDue(nSlot);
    return true;
}

int64_t CTableCarousel::NextStart(size_t nTable, int64_t nStart) const
{
    // The table's phase comes back every interval; the first return no
    // closer than half an interval is the next start, if it is no further
    // than one. Otherwise the table goes half an interval on, and reaches
    // its phase the time after: a new set starts every table at once.
    const int64_t nPhase = m_nAnchor + m_vPhase[nTable];
    const int64_t nEarliest = nStart + m_nHalf;
    int64_t nNext = nPhase;
    if (nNext < nEarliest) {
        nNext += (nEarliest - nNext + m_nInterval - 1) / m_nInterval * m_nInterval;
    }
    return nNext - nStart <= m_nInterval ? nNext : nEarliest;
}

void CTableCarousel::UpdateNextDue(int64_t nSlot)
{
    if (m_pSending != nullptr) {
        // The rest of a table is as due as its start: a caller that orders
        // tables and other traffic by due slot must not let it wait longer.
        m_nNextDue = std::min(m_nSendingDue, nSlot + 1);
    } else {
        m_nNextDue = m_vHeap.empty() ? INT64_MAX : m_vHeap.front().nSlot;
    }
}
