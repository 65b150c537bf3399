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

CTableCarousel::CTableCarousel(int64_t nIntervalSlots) : m_nBase(ValidInterval(nIntervalSlots))
{
    m_vIntervalOf.fill(m_nBase);
    m_vCc.fill(kCcMask); // the first packet on a PID gets 0
}

void CTableCarousel::SetMinGap(int64_t nSlots)
{
    m_nMinGap = std::max<int64_t>(nSlots, 1);
}

int64_t CTableCarousel::MinGap(int64_t nLayout) const
{
    return std::min(m_nMinGap, (nLayout + 1) / 2);
}

void CTableCarousel::SetInterval(uint8_t nTableId, int64_t nSlots)
{
    m_vIntervalOf[nTableId] = ValidInterval(nSlots);
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
    m_vPhase.assign(m_vTables.size(), 0);
    m_vInterval.resize(m_vTables.size());
    m_vStep.resize(m_vTables.size());
    std::vector<int64_t> vLayout(m_vTables.size()); // the interval each table's phase is placed in
    for (size_t i = 0; i < m_vTables.size(); ++i) {
        // A table that repeats less often than the base interval repeats at
        // a multiple of it and has a place in the base layout: it comes back
        // to that place, which no other table takes, instead of landing on
        // other tables and making them late.
        const int64_t nInterval = m_vIntervalOf[m_vTables[i].nTableId];
        m_vInterval[i] = nInterval >= m_nBase ? nInterval / m_nBase * m_nBase : nInterval;
        vLayout[i] = nInterval >= m_nBase ? m_nBase : nInterval;
        m_nSetPackets += int(m_vTables[i].vPackets.size() / kTsPacketSize);
        m_vHeap.push_back(CDue{nNowSlot, i}); // ascending: already a heap
    }
    // The tables of each layout share it: each table's share is in
    // proportion to its packets, so while they fit the interval no table's
    // slots overlap the next one's and in steady state every table leaves
    // on time. The set leaves as one burst first; the phases of a layout all
    // move back by the largest lead one of its tables has over its place in
    // that burst (bounded so that none comes back within half an interval).
    // Then every table goes from its burst start to its phase in one step of
    // at most its interval, and the second round begins only after the burst
    // has ended.
    std::vector<int64_t> vDone;
    for (size_t i = 0; i < m_vTables.size(); ++i) {
        const int64_t nLayout = vLayout[i];
        if (std::find(vDone.begin(), vDone.end(), nLayout) != vDone.end()) {
            continue;
        }
        vDone.push_back(nLayout);
        int64_t nPackets = 0; // of this layout's tables
        for (size_t j = i; j < m_vTables.size(); ++j) {
            nPackets += vLayout[j] == nLayout ? int64_t(m_vTables[j].vPackets.size()) : 0;
        }
        nPackets /= kTsPacketSize;
        for (size_t j = i; j < m_vTables.size(); ++j) {
            if (vLayout[j] == nLayout) {
                m_vStep[j] = CStep{nLayout, nPackets};
            }
        }
        int64_t nBefore = 0;      // burst packets before the table
        int64_t nBeforeLayout = 0; // of this layout's tables
        int64_t nShift = 0;
        for (size_t j = 0; j < m_vTables.size(); ++j) {
            if (vLayout[j] == nLayout) {
                m_vPhase[j] = nBeforeLayout * nLayout / nPackets; // every table has a packet
                nShift = std::max(nShift, m_vPhase[j] - nBefore);
                nBeforeLayout += int64_t(m_vTables[j].vPackets.size() / kTsPacketSize);
            }
            nBefore += int64_t(m_vTables[j].vPackets.size() / kTsPacketSize);
        }
        nShift = std::min(nShift, nLayout - MinGap(nLayout));
        for (size_t j = 0; j < m_vTables.size(); ++j) {
            if (vLayout[j] == nLayout) {
                m_vPhase[j] -= nShift;
            }
        }
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
        m_step = m_vStep[m_nSendingTable];
        // The burst of a new set goes packet after packet; later a table's
        // packets keep to its share of the layout, so that a long one loads
        // the output no more than the rest.
        m_bSpaced = m_nSendingDue > m_nAnchor;
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
    // closer than the least gap is the next start, if it is no further than
    // one interval. Otherwise the table goes the least gap on, and reaches
    // its phase the time after: a new set starts every table at once. (A
    // table that repeats less often than its layout so reaches its place
    // from the burst at once, mostly.)
    const int64_t nInterval = m_vInterval[nTable];
    const int64_t nPhase = m_nAnchor + m_vPhase[nTable];
    const int64_t nEarliest = nStart + MinGap(m_vStep[nTable].nLayout);
    int64_t nNext = nPhase;
    if (nNext < nEarliest) {
        nNext += (nEarliest - nNext + nInterval - 1) / nInterval * nInterval;
    }
    return nNext - nStart <= nInterval ? nNext : nEarliest;
}

void CTableCarousel::UpdateNextDue(int64_t nSlot)
{
    if (m_pSending != nullptr) {
        // The rest of a table is as due as its start: a caller that orders
        // tables and other traffic by due slot must not let it wait longer.
        m_nNextDue = std::min(m_nSendingDue, nSlot + 1);
        if (m_bSpaced) {
            const int64_t nDue = m_nSendingDue + int64_t(m_nSendingPacket) * m_step.nLayout /
                                                     std::max<int64_t>(m_step.nPackets, 1);
            m_nNextDue = std::max(nDue, nSlot + 1);
        }
    } else {
        m_nNextDue = m_vHeap.empty() ? INT64_MAX : m_vHeap.front().nSlot;
    }
}
