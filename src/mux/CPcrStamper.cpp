#include "mux/CPcrStamper.h"

#include "ts/CTsPacket.h"
#include "ts/PcrMath.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr uint8_t kAfcAdaptationOnly = 0x20;
constexpr uint8_t kAfFlagPcr = 0x10;
constexpr uint8_t kAfLengthWhole = 183; // an adaptation field that fills the packet
// How early a PID's own PCR may leave to save a PCR-only packet, as a part
// of the longest gap (half a millisecond of 40): every PCR that leaves early
// moves its program's PTS - PCR by as much.
constexpr int64_t kEarlyPart = 80;
// PCR PIDs due this close after the first are served in one run; more that
// close together than there are slots would be a rate no output has.
constexpr int64_t kCrowdSlots = 64;

} // namespace

CPcrStamper::CPcrStamper(const COutputTime& time, int64_t nInsertSlots, int64_t nMaxSlots)
    : m_time(time), m_nInsertSlots(std::max<int64_t>(nInsertSlots, 1)),
      m_nMaxSlots(std::max<int64_t>(nMaxSlots, m_nInsertSlots + 1)),
      m_nEarlySlots(std::max<int64_t>(m_nMaxSlots / kEarlyPart, 1)), m_vIndex(kPidCount, -1)
{
}

void CPcrStamper::AddPid(int nPid, bool bInsert)
{
    if (nPid < 0 || nPid >= kPidCount) {
        return;
    }
    if (m_vIndex[size_t(nPid)] >= 0) {
        // A PID ended and taken up again (a program back in the tables):
        // its next PCR starts a new reference.
        CPidState& state = m_vStates[size_t(m_vIndex[size_t(nPid)])];
        if (state.bEnded) {
            state.bEnded = false;
            state.nRefPcr = -1;
        }
        if (bInsert) {
            SetInsert(nPid, true);
        }
        return;
    }
    m_vIndex[size_t(nPid)] = int(m_vStates.size());
    CPidState state;
    state.nPid = nPid;
    state.bInsert = bInsert;
    m_vStates.push_back(state);
}

void CPcrStamper::SetInsert(int nPid, bool bInsert)
{
    if (IsPcrPid(nPid)) {
        m_vStates[size_t(m_vIndex[size_t(nPid)])].bInsert = bInsert;
        RecomputeNextDue();
    }
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
    if (state.nRefPcr < 0 || state.bRestartPending || state.bEnded || !state.bInsert) {
        return kNever;
    }
    if (state.nSpacing <= m_nInsertSlots) {
        return state.nLastSlot + m_nInsertSlots; // its own PCRs come first, unless late
    }
    // Sparser own PCRs get as few PCR-only packets as keep every gap inside
    // the longest: their spacing cut in equal parts, counted from their own
    // last PCR's due slot (not from when it left early, or the parts would
    // creep ahead of their own PCRs), and never less than a part after the
    // last PCR (one that left late would otherwise get another right after
    // it, more load where content runs late already). The last part waits
    // for their own next PCR up to the longest gap: one a little late leaves
    // a little early instead of getting a PCR-only packet just before it.
    // One that comes a little less often than the longest gap is one part.
    const int64_t nParts = (state.nSpacing - m_nEarlySlots + m_nMaxSlots - 1) / m_nMaxSlots;
    if (state.nInserted + 1 >= nParts) {
        return state.nLastSlot + m_nMaxSlots;
    }
    const int64_t nPart = state.nSpacing / nParts;
    const int64_t nPartDue = state.nLastDue + (state.nInserted + 1) * nPart;
    return std::min(state.nLastSlot + m_nMaxSlots, std::max(state.nLastSlot + nPart, nPartDue));
}

void CPcrStamper::RecomputeNextDue()
{
    int64_t nFirst = kNever;
    for (const CPidState& state : m_vStates) {
        nFirst = std::min(nFirst, DueOf(state));
    }
    m_nNextDue = nFirst;
    if (nFirst == kNever) {
        return;
    }
    // One PCR per slot: of the PIDs due right after the first, the k-th in
    // due order needs k slots up to its due, so the first starts where the
    // tightest of them needs it.
    m_vNear.clear();
    for (const CPidState& state : m_vStates) {
        const int64_t nDue = DueOf(state);
        if (nDue <= nFirst + kCrowdSlots) {
            m_vNear.push_back(nDue);
        }
    }
    std::sort(m_vNear.begin(), m_vNear.end());
    for (size_t k = 1; k < m_vNear.size(); ++k) {
        m_nNextDue = std::min(m_nNextDue, m_vNear[k] - int64_t(k));
    }
}

void CPcrStamper::NotePcr(CPidState& state, int64_t nSlot)
{
    if (state.nLastSlot >= 0) {
        state.nMaxInterval = std::max(state.nMaxInterval, nSlot - state.nLastSlot);
    }
    state.nLastSlot = nSlot;
    ++state.nPcrs;
    RecomputeNextDue();
}

bool CPcrStamper::OnPacket(int64_t nSlot, int64_t nDueSlot, uint8_t* pPacket, int nPid)
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
            state.bRestartPending = true;
            RecomputeNextDue();
        }
        return false;
    }
    state.nSpacing = state.nLastDue >= 0 && !bDiscontinuity ? nDueSlot - state.nLastDue : -1;
    state.nLastDue = nDueSlot;
    state.nInserted = 0;
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

int CPcrStamper::GetDuePid(int64_t nSlot)
{
    if (m_nNextDue > nSlot) {
        return -1;
    }
    const CPidState* pDue = nullptr;
    int64_t nDue = kNever;
    for (const CPidState& state : m_vStates) {
        const int64_t nThis = DueOf(state);
        if (nThis < nDue) {
            pDue = &state;
            nDue = nThis;
        }
    }
    if (pDue == nullptr) {
        RecomputeNextDue();
        return -1;
    }
    return pDue->nPid;
}

int64_t CPcrStamper::GetDueSlot(int nPid) const
{
    return IsPcrPid(nPid) ? DueOf(m_vStates[size_t(m_vIndex[size_t(nPid)])]) : kNever;
}

int CPcrStamper::TakeDue(int64_t nSlot, uint8_t* pOut)
{
    const int nDuePid = GetDuePid(nSlot);
    if (nDuePid < 0) {
        return -1;
    }
    CPidState* pDue = &m_vStates[size_t(m_vIndex[size_t(nDuePid)])];
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
    ++pDue->nInserted;
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

void CPcrStamper::FollowLive(int64_t nSlot, int64_t nDueTicks, uint8_t* pPacket) const
{
    CTsPacket packet;
    packet.SetData(pPacket);
    const int64_t nPcr = packet.GetPcr();
    if (nPcr < 0) {
        return;
    }
    // A live program runs on its sender's clock, and so must its PCRs, or
    // its time stamps would drift from them by the clocks' difference (50
    // ppm: 180 ms an hour). Restamping from the slot would put them on ours;
    // the input's own PCR plus how late the packet leaves against its due
    // time keeps the sender's clock and the exact position.
    packet.SetPcr(PcrAdd(nPcr, PcrWrap(m_time.TicksAt(nSlot) - nDueTicks)));
}
