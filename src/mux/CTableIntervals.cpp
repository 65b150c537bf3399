#include "mux/CTableIntervals.h"

#include <algorithm>

namespace {

constexpr int64_t kPacketBits = int64_t(kTsPacketSize) * 8;
constexpr int kRoundMs = 10; // chosen intervals are whole tens of ms

// Bits of one repetition of the tables of this table_id.
int64_t BitsOf(const std::vector<CPsiTable>& vTables, uint8_t nTableId)
{
    int64_t nBits = 0;
    for (const CPsiTable& table : vTables) {
        if (table.nTableId == nTableId) {
            nBits += int64_t(table.vPackets.size() / kTsPacketSize) * kPacketBits;
        }
    }
    return nBits;
}

int64_t RateOf(int64_t nBits, int nMs)
{
    const int64_t nCycle = CTableIntervals::CycleOf(nMs);
    return nCycle > 0 ? (nBits * 1000 + nCycle - 1) / nCycle : 0;
}

// The shortest interval, whole tens of ms from nFloor up to nCap, at which
// nBits repeated fit nBudget bit/s; nCap when none does.
int IntervalFor(int64_t nBits, int64_t nBudget, int nFloor, int nCap)
{
    if (nBits == 0) {
        return nFloor;
    }
    if (nBudget <= 0) {
        return nCap;
    }
    // A first guess from nBits * 1000 / cycle <= nBudget, cycle = ms * 19 / 20;
    // the cycles' rounding may ask for a step or two more.
    const int64_t nCycle = (nBits * 1000 + nBudget - 1) / nBudget;
    int64_t nMs = (nCycle * kTableCycleDen + kTableCycleNum - 1) / kTableCycleNum;
    nMs = std::clamp<int64_t>((nMs + kRoundMs - 1) / kRoundMs * kRoundMs, nFloor, nCap);
    while (nMs < nCap && RateOf(nBits, int(nMs)) > nBudget) {
        nMs = std::min<int64_t>(nMs + kRoundMs, nCap);
    }
    return int(nMs);
}

} // namespace

void CTableIntervals::Choose(const std::vector<CPsiTable>& vTables, int64_t nRate)
{
    m_nSdtMs = m_nSdtSet > 0 ? m_nSdtSet : kPsiRepeatMs;
    m_nNitMs = m_nNitSet > 0 ? m_nNitSet : kPsiRepeatMs;
    if (nRate <= 0 || (m_nSdtSet > 0 && m_nNitSet > 0)) {
        return;
    }
    const int64_t nBudget = nRate * kTableSharePercent / 100;
    if (BitRate(vTables) <= nBudget) {
        return;
    }
    const int64_t nSdtBits = BitsOf(vTables, kTableIdSdt);
    const int64_t nNitBits = BitsOf(vTables, kTableIdNit);
    // What the SDT and NIT may take: the share less every other table.
    int64_t nLeft = nBudget - (BitRate(vTables) - RateOf(nSdtBits, m_nSdtMs) -
                               RateOf(nNitBits, m_nNitMs));
    if (m_nSdtSet == 0 && m_nNitSet == 0) {
        // Both stretch together up to the SDT's limit, then the NIT alone.
        m_nSdtMs = m_nNitMs = IntervalFor(nSdtBits + nNitBits, nLeft, kPsiRepeatMs, kSdtMaxIntervalMs);
        if (RateOf(nSdtBits, m_nSdtMs) + RateOf(nNitBits, m_nNitMs) > nLeft) {
            nLeft -= RateOf(nSdtBits, m_nSdtMs);
            m_nNitMs = IntervalFor(nNitBits, nLeft, m_nSdtMs, kNitMaxIntervalMs);
        }
    } else if (m_nSdtSet == 0) {
        m_nSdtMs = IntervalFor(nSdtBits, nLeft - RateOf(nNitBits, m_nNitMs), kPsiRepeatMs,
                               kSdtMaxIntervalMs);
    } else {
        m_nNitMs = IntervalFor(nNitBits, nLeft - RateOf(nSdtBits, m_nSdtMs), kPsiRepeatMs,
                               kNitMaxIntervalMs);
    }
}

int CTableIntervals::GetMs(uint8_t nTableId) const
{
    switch (nTableId) {
    case kTableIdSdt:
        return m_nSdtMs;
    case kTableIdNit:
        return m_nNitMs;
    default:
        return kPsiRepeatMs;
    }
}

long long CTableIntervals::BitRate(const std::vector<CPsiTable>& vTables) const
{
    // Summed per kind, rounded up once per kind.
    long long nRate = 0;
    for (uint8_t nTableId : {uint8_t(kTableIdPat), uint8_t(kTableIdCat), uint8_t(kTableIdPmt),
                             uint8_t(kTableIdSdt), uint8_t(kTableIdNit)}) {
        nRate += RateOf(BitsOf(vTables, nTableId), GetMs(nTableId));
    }
    return nRate;
}
