#include "mux/CPcrStamper.h"

#include "ts/CTsPacket.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr uint8_t kAfcAdaptationOnly = 0x20;
constexpr uint8_t kAfFlagPcr = 0x10;
constexpr uint8_t kAfLengthWhole = 183; // an adaptation field that fills the packet

} // namespace

CPcrStamper::CPcrStamper(const COutputTime& time, int64_t nInsertSlots)
    : m_time(time), m_nInsertSlots(std::max<int64_t>(nInsertSlots, 1)), m_vIndex(kPidCount, -1)
{
}

void CPcrStamper::AddPid(int nPid)
{
    if (nPid < 0 || nPid >= kPidCount || m_vIndex[size_t(nPid)] >= 0) {
        return;
    }
    m_vIndex[size_t(nPid)] = int(m_vStates.size());
    CPidState state;
    state.nPid = nPid;
    m_vStates.push_back(state);
}

void CPcrStamper::FollowPid(int nPid)
{
    if (IsPcrPid(nPid)) {
        m_vStates[size_t(m_vIndex[size_t(nPid)])].bFollow = true;
    }
}

int64_t CPcrStamper::DueOf(const CPidState& state) const
{
    // Nothing before a PID's first PCR, nothing across a new time base that
    // has not got its PCR yet, nothing on a PID that carries nothing more.
    if (state.nRefPcr < 0 || state.bRestartPending || state.bEnded) {
        return kNever;
    }
    return state.nLastSlot + m_nInsertSlots;
}

void CPcrStamper::RecomputeNextDue()
{
    m_nNextDue = kNever;
    for (const CPidState& state : m_vStates) {
        m_nNextDue = std::min(m_nNextDue, DueOf(state));
    }
}

void CPcrStamper::NotePcr(CPidState& state, int64_t nSlot)
{
    const int64_t nOldDue = DueOf(state);
    if (state.nLastSlot >= 0) {
        state.nMaxInterval = std::max(state.nMaxInterval, nSlot - state.nLastSlot);
    }
    state.nLastSlot = nSlot;
    ++state.nPcrs;
    // Dues only move later; the minimum changes only if this PID held it.
    if (nOldDue <= m_nNextDue || DueOf(state) < m_nNextDue) {
        RecomputeNextDue();
    }
}

bool CPcrStamper::OnPacket(int64_t nSlot, uint8_t* pPacket, int nPid)
{
    CPidState& state = m_vStates[size_t(m_vIndex[size_t(nPid)])];
    CTsPacket packet;
    if (!packet.SetData(pPacket)) {
        return false;
    }
    state.nLastCc = packet.GetContinuityCounter();
    const bool bDiscontinuity = packet.GetDiscontinuityIndicator();
    const int64_t nOwn = packet.GetPcr();
    if (nOwn < 0) {
        if (bDiscontinuity) {
            // A new time base begins here; its first PCR becomes the reference.
            const int64_t nOldDue = DueOf(state);
            state.bRestartPending = true;
            if (nOldDue <= m_nNextDue) {
                RecomputeNextDue();
            }
        }
        return false;
    }
    if (bDiscontinuity || state.bRestartPending || state.nRefPcr < 0 || state.bFollow) {
        // Restamping across a new time base would put the clock out of step
        // with the time stamps that follow it.
        state.nRefPcr = nOwn;
        state.nRefSlot = nSlot;
        state.bRestartPending = false;
    } else {
        packet.SetPcr(m_time.PcrAt(state.nRefPcr, state.nRefSlot, nSlot));
    }
    NotePcr(state, nSlot);
    return true;
}

void CPcrStamper::EndPid(int nPid)
{
    if (!IsPcrPid(nPid)) {
        return;
    }
    m_vStates[size_t(m_vIndex[size_t(nPid)])].bEnded = true;
    RecomputeNextDue();
}

int CPcrStamper::TakeDue(int64_t nSlot, uint8_t* pOut)
{
    if (m_nNextDue > nSlot) {
        return -1;
    }
    CPidState* pDue = nullptr;
    for (CPidState& state : m_vStates) {
        if (DueOf(state) <= nSlot && (pDue == nullptr || DueOf(state) < DueOf(*pDue))) {
            pDue = &state;
        }
    }
    if (pDue == nullptr) {
        RecomputeNextDue();
        return -1;
    }
    // Adaptation field only, no payload: its continuity counter repeats the
    // last one sent on the PID, which is what a receiver expects.
    std::memset(pOut, 0xFF, kTsPacketSize);
    pOut[0] = kSyncByte;
    pOut[1] = uint8_t((pDue->nPid >> 8) & 0x1F);
    pOut[2] = uint8_t(pDue->nPid & 0xFF);
    pOut[3] = uint8_t(kAfcAdaptationOnly | (pDue->nLastCc & kCcMask));
    pOut[4] = kAfLengthWhole;
    pOut[5] = kAfFlagPcr;
    CTsPacket packet;
    packet.SetData(pOut);
    packet.SetPcr(m_time.PcrAt(pDue->nRefPcr, pDue->nRefSlot, nSlot));
    ++m_nInserted;
    NotePcr(*pDue, nSlot);
    return pDue->nPid;
}

int64_t CPcrStamper::GetPcrCount(int nPid) const
{
    return IsPcrPid(nPid) ? m_vStates[size_t(m_vIndex[size_t(nPid)])].nPcrs : 0;
}

int64_t CPcrStamper::GetMaxIntervalSlots(int nPid) const
{
    return IsPcrPid(nPid) ? m_vStates[size_t(m_vIndex[size_t(nPid)])].nMaxInterval : -1;
}
