#include "mux/CSlotScheduler.h"

#include "log/CLogger.h"
#include "mux/MuxConstants.h"
#include "mux/NullPacket.h"
#include "ts/CTsPacket.h"
#include "ts/PcrMath.h"
#include "ts/PidMap.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr int kNotQueued = -2; // FindOwnPcr: what would tell is not queued yet

// The PCR flag of a packet, read without the whole accessor: most packets
// have no adaptation field.
bool HasPcrField(const uint8_t* p)
{
    return (p[3] & 0x20) != 0 && p[4] >= 7 && (p[5] & 0x10) != 0;
}

} // namespace

CSlotScheduler::CSlotScheduler(int64_t nBitsPerSecond, std::vector<CPsiTable> vTables,
                               int64_t nGuardSlots, const CTableIntervals& intervals)
    : m_time(nBitsPerSecond),
      m_carousel(std::max<int64_t>(m_time.SlotsIn(intervals.GetCycleMs(kTableIdPat)), 1)),
      m_pcr(m_time, m_time.SlotsIn(kPcrInsertMs), m_time.SlotsIn(kPcrMaxGapMs)),
      m_delay(nGuardSlots, m_time), m_choice(m_time.SlotsIn(kPcrSilentMs)),
      m_vProgramOf(kPidCount, -1), m_vPcrInput(kPidCount, -1),
      m_nTableWaitSlots(m_time.SlotsIn(kPsiRepeatMs - CTableIntervals::CycleOf(kPsiRepeatMs)) / 2)
{
    for (uint8_t nTableId : {uint8_t(kTableIdSdt), uint8_t(kTableIdNit)}) {
        m_carousel.SetInterval(nTableId,
                               std::max<int64_t>(m_time.SlotsIn(intervals.GetCycleMs(nTableId)), 1));
    }
    // DVB's least gap between two sections of a table: the first round after
    // a large set's burst spreads over the cycle instead of crowding.
    m_carousel.SetMinGap(m_time.SlotAtTicks(kSiMinIntervalMs * (kPcrHz / 1000)));
    m_carousel.SetTables(std::move(vTables), 0);
    m_nStartSlot = m_carousel.GetSetPacketCount();
}

void CSlotScheduler::AddInput(const CInput& input)
{
    CInputState state;
    state.in = input;
    state.nBaseSlot = m_nStartSlot;
    m_vInputs.push_back(state);
    m_vStats.emplace_back();
    ++m_nLive;
    for (int nPid : input.vPcrPids) {
        m_pcr.AddPid(nPid);
        if (nPid >= 0 && nPid < kPidCount) {
            m_vPcrInput[size_t(nPid)] = int(m_vInputs.size() - 1);
        }
        if (input.bLive) {
            m_pcr.FollowPid(nPid);
        }
    }
}

void CSlotScheduler::MapProgramPid(int nPid, int nProgram)
{
    if (nPid < 0 || nPid >= kPidCount || nProgram < 0) {
        return;
    }
    m_vProgramOf[size_t(nPid)] = nProgram;
    if (m_vProgramPackets.size() <= size_t(nProgram)) {
        m_vProgramPackets.resize(size_t(nProgram) + 1, 0);
    }
}

void CSlotScheduler::SetProgram(int nProgram, int nNumber, int nPcrPid)
{
    if (nProgram < 0) {
        return;
    }
    if (m_vProgramNumber.size() <= size_t(nProgram)) {
        m_vProgramNumber.resize(size_t(nProgram) + 1, -1);
    }
    m_vProgramNumber[size_t(nProgram)] = nNumber;
    m_choice.SetPcrPid(nProgram, nPcrPid, m_nNext);
}

void CSlotScheduler::SetInputPcrPids(size_t i, const std::vector<int>& vPids)
{
    if (i >= m_vInputs.size()) {
        return;
    }
    m_vInputs[i].in.vPcrPids = vPids;
    for (int nPid : vPids) {
        if (nPid >= 0 && nPid < kPidCount) {
            m_vPcrInput[size_t(nPid)] = int(i);
        }
        if (m_vInputs[i].in.bLive) {
            m_pcr.FollowPid(nPid);
        }
    }
}

void CSlotScheduler::SetInputDown(size_t i)
{
    if (i < m_vInputs.size()) {
        m_vInputs[i].bDown = true;
        m_vInputs[i].bHasHead = false; // looked at afresh: its next head restarts it
    }
}

int64_t CSlotScheduler::DueSlotOf(size_t i, const CTimedPacket& packet)
{
    CInputState& state = m_vInputs[i];
    if (!state.in.bTimed) {
        return m_nStartSlot;
    }
    if (state.in.bLive) {
        if (state.nFirstTime < 0) {
            state.nFirstTime = packet.nTime;
            // What queued up before the output started leaves from the start
            // slot on at its own spacing; the delay then stays what it was
            // there, so it never grows or shrinks during the run.
            state.nLiveShift = std::max(kLiveDelayMs * (kPcrHz / 1000),
                                        m_nLocalStartTicks - packet.nTime);
            LogPrint(kLogDebug, "mux: input %zu: live, %lld ms through the multiplex", i + 1,
                     static_cast<long long>(state.nLiveShift / (kPcrHz / 1000)));
        }
        const int64_t nDue = packet.nTime + state.nLiveShift - m_nLocalStartTicks;
        return std::max(m_nStartSlot, m_time.SlotAtTicks(std::max<int64_t>(nDue, 0)));
    }
    if (state.nFirstTime < 0) {
        state.nFirstTime = packet.nTime;
    }
    return state.nBaseSlot +
           m_time.SlotAtTicks(std::max<int64_t>(packet.nTime - state.nFirstTime, 0));
}

bool CSlotScheduler::RefreshHead(size_t i)
{
    CInputState& state = m_vInputs[i];
    CTimedPacket* pHead = state.in.pQueue->Peek(0);
    // A marker takes no slot: the change applies before the packet after it.
    // A packet sent ahead of its turn has taken its slot already.
    while (pHead != nullptr && (pHead->nChange != 0 || pHead->bTaken)) {
        const uint32_t nChange = pHead->bTaken ? 0 : pHead->nChange;
        pHead->bTaken = false;
        state.in.pQueue->Pop();
        if (nChange != 0) {
            // The owner applies it; then the entries after it are looked at.
            state.bHasHead = false;
            m_fill.nChangeInput = int(i);
            m_fill.nChange = nChange;
            m_nResumeInput = int(i);
            // It dates from the slot of the input's entry before it: a
            // waited-for input holds the slots until its next entry is
            // known, so that is where it is met, however late it came.
            m_nChangeSlot = state.in.bWaitFor && state.nPopSlot >= 0 ? state.nPopSlot : m_nNext;
            return false;
        }
        pHead = state.in.pQueue->Peek(0);
    }
    state.pHead = pHead;
    state.bHasHead = pHead != nullptr;
    if (pHead == nullptr) {
        return true;
    }
    if (state.bDown) {
        state.bDown = false;
        // Back after the slots went on without it: its own timeline goes on
        // from here, due a live input's delay from now, so that a writer at
        // its real-time pace stays ahead of it. A live input's times are our
        // clock's already.
        if (state.in.bTimed && !state.in.bLive) {
            state.nFirstTime = pHead->nTime;
            state.nBaseSlot = std::max(m_nNext, m_nStartSlot) + m_time.SlotsIn(kLiveDelayMs);
        }
    }
    state.nHeadSlot = DueSlotOf(i, *pHead);
    if (JudgePes(i, 0, *pHead, MapPid(state.in.pPidMap, pHead->vData)) ==
        CPesCut::EWhole::kUnknown) {
        state.bHasHead = false; // waited for as an empty queue is, until it tells
    }
    return true;
}

CPesCut::EWhole CSlotScheduler::JudgePes(size_t i, int k, const CTimedPacket& packet, int nOutPid)
{
    CInputState& state = m_vInputs[i];
    const int64_t nDue = k == 0 ? state.nHeadSlot : DueSlotOf(i, packet);
    if (!m_cut.IsNearEnd(nDue)) {
        return CPesCut::EWhole::kYes;
    }
    IInputQueue& queue = *state.in.pQueue;
    const bool bMore = state.in.bWaitFor && !queue.IsEnded(); // before the look: all is queued
    return m_cut.Judge(
        k, packet.vData, nOutPid, std::max(m_nNext - nDue, m_nLateNearEnd),
        [&](int n) { return queue.Peek(n); }, [&](const CTimedPacket& p) { return DueSlotOf(i, p); },
        bMore);
}

int CSlotScheduler::PickInput(int64_t nSlot)
{
    int nBest = -1;
    int64_t nBestSlot = kNever;
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputState& state = m_vInputs[i];
        if (state.bDrained) {
            continue;
        }
        if (!state.bHasHead && !RefreshHead(i)) {
            return -1; // a change to apply first
        }
        if (!state.bHasHead) {
            // The end flag before the queue: the reader publishes its last
            // packet before the end.
            if (state.in.pQueue->IsEnded() && state.in.pQueue->Peek(0) == nullptr) {
                state.bDrained = true;
                --m_nLive;
                for (int nPid : state.in.vPcrPids) {
                    m_pcr.EndPid(nPid);
                }
                continue;
            }
            if (state.in.bWaitFor && !state.bDown) {
                // What this input has next may be due before anything else:
                // the slot waits for it.
                m_nStarved = int(i);
                return -1;
            }
            continue;
        }
        if (state.nHeadSlot < nBestSlot) {
            nBestSlot = state.nHeadSlot;
            nBest = int(i);
        }
    }
    return nBestSlot <= nSlot ? nBest : -1;
}

void CSlotScheduler::NoteDelay(size_t i, int nProgram, int32_t nMargin, int64_t nDelay,
                               int64_t nSlot)
{
    CInputState& state = m_vInputs[i];
    CInputStats& stats = m_vStats[i];
    stats.nMaxLateSlots = std::max(stats.nMaxLateSlots, nDelay);
    const int64_t nMarginTicks =
        nMargin != CTimedPacket::kNoMargin ? int64_t(nMargin) * kPcrPerPts : -1;
    if (!m_delay.OnPacket(nProgram, nMarginTicks, nDelay)) {
        return;
    }
    ++stats.nLate;
    // One line a second of output per input: a run far over its rate would
    // otherwise say it for every program; the totals come at the end.
    if (state.nLateLogged >= 0 && nSlot - state.nLateLogged < m_time.SlotsIn(1000)) {
        return;
    }
    state.nLateLogged = nSlot;
    const bool bKnown = nProgram >= 0 && size_t(nProgram) < m_vProgramNumber.size();
    m_delay.LogLate(i, nProgram, bKnown ? m_vProgramNumber[size_t(nProgram)] : -1, nDelay);
}

void CSlotScheduler::NoteContentPcr(size_t i, int nProgram, int nPid, int64_t nSlot)
{
    if (nPid == kPidNull) {
        return; // a PID no map names
    }
    if (nProgram >= 0) {
        const int nFrom = m_choice.GetPcrPid(nProgram);
        if (m_choice.OnPcr(nProgram, nPid, nSlot) >= 0) {
            // The program's PCRs are here now: gaps on this PID get
            // insertions, the PID named before gets none (unless another
            // program names it too).
            m_pcr.AddPid(nPid);
            if (nFrom != kPidNull && !m_choice.IsPcrPidOfOther(nFrom, nProgram)) {
                m_pcr.SetInsert(nFrom, false);
            }
            m_vPcrInput[size_t(nPid)] = int(i);
            std::vector<int>& vPids = m_vInputs[i].in.vPcrPids;
            if (std::find(vPids.begin(), vPids.end(), nPid) == vPids.end()) {
                vPids.push_back(nPid);
            }
            m_nChangeSlot = nSlot;
            m_fill.nPcrProgram = nProgram;
            m_fill.nPcrFromPid = nFrom;
            m_fill.nPcrToPid = nPid;
        }
    }
    // A PCR on a PID that is no program's PCR_PID is restamped like any
    // other: left with its input value it would be off by the delay through
    // the muxer, which changes from packet to packet.
    if (!m_pcr.IsPcrPid(nPid)) {
        m_pcr.AddPid(nPid, false);
    }
    if (m_vInputs[i].in.bLive) {
        m_pcr.FollowPid(nPid);
    }
}

void CSlotScheduler::Emit(size_t i, const CTimedPacket& packet, int64_t nDueSlot, int64_t nSlot,
                          uint8_t* pOut)
{
    CInputState& state = m_vInputs[i];
    if (m_cut.IsNearEnd(nDueSlot)) {
        m_nLateNearEnd = std::max(m_nLateNearEnd, nSlot - nDueSlot);
    }
    std::memcpy(pOut, packet.vData, kTsPacketSize);
    const int nOutPid = RemapPid(state.in.pPidMap, pOut);
    if (m_cut.Apply(pOut, nOutPid) && CTsPacket::PidOf(pOut) == kPidNull) {
        ++m_nNullSlots; // a PES the end cuts
        return;
    }
    const int nProgram = m_vProgramOf[size_t(nOutPid)];
    if (HasPcrField(pOut)) {
        NoteContentPcr(i, nProgram, nOutPid, nSlot);
    }
    if (m_pcr.IsPcrPid(nOutPid)) {
        if (state.in.bLive) {
            m_pcr.FollowLive(nSlot, packet.nTime + state.nLiveShift - m_nLocalStartTicks, pOut);
        }
        m_pcr.OnPacket(nSlot, nDueSlot, pOut, nOutPid);
    }
    if (nProgram >= 0) {
        ++m_vProgramPackets[size_t(nProgram)];
    }
    ++m_vStats[i].nMuxed;
    // An unpaced input has no due time to be late against.
    if (state.in.bTimed) {
        NoteDelay(i, nProgram, packet.nMargin, nSlot - nDueSlot, nSlot);
    }
}

void CSlotScheduler::TakeFrom(size_t i, int64_t nSlot, uint8_t* pOut)
{
    CInputState& state = m_vInputs[i];
    Emit(i, *state.pHead, state.nHeadSlot, nSlot, pOut);
    state.in.pQueue->Pop();
    state.nPopSlot = nSlot;
    RefreshHead(i); // a change met here came with this slot
}

int CSlotScheduler::FindOwnPcr(size_t i, int nPid, int64_t nLimit)
{
    CInputState& state = m_vInputs[i];
    // Whether it is there must not depend on how far the reader has come.
    const bool bMayCome = state.in.bWaitFor && !state.bDown && !state.in.pQueue->IsEnded();
    for (int k = 0;; ++k) {
        const CTimedPacket* p = state.in.pQueue->Peek(k);
        if (p == nullptr) {
            return bMayCome ? kNotQueued : -1;
        }
        // What comes after a table change may be mapped otherwise.
        if (p->nChange != 0) {
            return -1;
        }
        if (p->bTaken) {
            continue;
        }
        // Times only grow along the queue: nothing further is due by then.
        if ((k == 0 ? state.nHeadSlot : DueSlotOf(i, *p)) > nLimit) {
            return -1;
        }
        if (MapPid(state.in.pPidMap, p->vData) == nPid) {
            if (!HasPcrField(p->vData)) {
                return -1;
            }
            const bool bTold = k == 0 || JudgePes(i, k, *p, nPid) != CPesCut::EWhole::kUnknown;
            return bTold ? k : kNotQueued;
        }
    }
}

bool CSlotScheduler::TakePcr(int64_t nSlot, uint8_t* pOut)
{
    const int nPid = m_pcr.GetDuePid(nSlot);
    if (nPid < 0) {
        return false;
    }
    const int nInput = m_vPcrInput[size_t(nPid)];
    if (nInput >= 0 && !m_vInputs[size_t(nInput)].bDrained) {
        const size_t i = size_t(nInput);
        CInputState& state = m_vInputs[i];
        if (!state.bHasHead && !RefreshHead(i)) {
            return false; // a change to apply before the slot is decided
        }
        // The PID's own next PCR goes now when it is due by then (or a hair
        // later): ahead of packets of other PIDs that run late, it keeps the
        // gap without a PCR-only packet adding to their load.
        const int64_t nLimit = std::max(nSlot, m_pcr.GetDueSlot(nPid)) + m_pcr.GetEarlySlots();
        const int k = state.bHasHead ? FindOwnPcr(i, nPid, nLimit) : -1;
        if (k == kNotQueued) {
            m_nStarved = nInput; // the slot waits to know whether it comes in time
            return false;
        }
        if (k == 0) {
            TakeFrom(i, nSlot, pOut);
            return true;
        }
        if (k > 0) {
            CTimedPacket* p = state.in.pQueue->Peek(k);
            Emit(i, *p, DueSlotOf(i, *p), nSlot, pOut);
            p->bTaken = true;
            return true;
        }
    }
    return m_pcr.TakeDue(nSlot, pOut) >= 0;
}

CSlotScheduler::CFill CSlotScheduler::FillSlots(int nCount, uint8_t* pOut)
{
    m_fill = CFill();
    m_nStarved = -1;
    if (m_nResumeInput >= 0) {
        // The entries after the last change's marker belong to the slot it
        // came in: another marker right behind it comes from there too.
        const size_t i = size_t(m_nResumeInput);
        m_nResumeInput = -1;
        if (!m_vInputs[i].bDrained && !RefreshHead(i)) {
            return m_fill;
        }
    }
    m_bChangePending = false;
    int nFilled = 0;
    while (nFilled < nCount) {
        if (m_nLive == 0) {
            break;
        }
        const int64_t nSlot = m_nNext;
        uint8_t* p = pOut + size_t(nFilled) * kTsPacketSize;
        // A PCR that is due is due at its limit. Tables and content then go
        // in the order they fell due: the tables keep their interval, and a
        // burst of them delays content by no more than its length.
        const int64_t nTableDue = m_carousel.GetNextDueSlot();
        // Every input's next entry is known before anything of the slot is
        // decided, or the slot would depend on how far a reader had come.
        const int nInput = PickInput(nSlot);
        bool bTable = false;
        if (m_fill.IsChange() || m_nStarved >= 0) {
            // A change before the slot is decided, or what the input has
            // next may be due first.
            break;
        }
        if (m_pcr.GetNextDueSlot() <= nSlot && TakePcr(nSlot, p)) {
            // a PCR
        } else {
            if (m_fill.IsChange() || m_nStarved >= 0) {
                break;
            }
            // A table that has waited half its slack goes before content
            // that runs late, or it would break its interval.
            const bool bTableFirst =
                nTableDue <= nSlot &&
                (nInput < 0 || nTableDue <= m_vInputs[size_t(nInput)].nHeadSlot ||
                 nSlot - nTableDue >= m_nTableWaitSlots ||
                 m_carousel.GetPacketsSent() < m_nTablesFirstUntil);
            if (bTableFirst && m_carousel.TakeDue(nSlot, p)) {
                bTable = true;
            } else if (nInput >= 0) {
                TakeFrom(size_t(nInput), nSlot, p);
            } else if (m_nLive == 0) {
                break;
            } else {
                // Nothing is due: null packets up to the next thing that is.
                int64_t nUntil = std::min(m_carousel.GetNextDueSlot(), m_pcr.GetNextDueSlot());
                for (const CInputState& state : m_vInputs) {
                    if (!state.bDrained && state.bHasHead) {
                        nUntil = std::min(nUntil, state.nHeadSlot);
                    }
                }
                const int64_t nNulls =
                    std::max<int64_t>(1, std::min<int64_t>(nUntil - nSlot, nCount - nFilled));
                for (int64_t k = 0; k < nNulls; ++k) {
                    std::memcpy(p + k * kTsPacketSize, NullPacket(), kTsPacketSize);
                }
                m_nNullSlots += nNulls;
                m_nNext += nNulls;
                nFilled += int(nNulls);
                continue;
            }
        }
        m_nTableSlots += bTable ? 1 : 0;
        ++m_nNext;
        ++nFilled;
        if (m_fill.IsChange()) {
            break; // it came with this slot's packet
        }
    }
    m_fill.nFilled = nFilled;
    m_bChangePending = m_fill.IsChange();
    return m_fill;
}
