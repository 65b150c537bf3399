#include "mux/CSlotScheduler.h"

#include "input/CTimedQueue.h"
#include "log/CLogger.h"
#include "mux/MuxConstants.h"
#include "ts/CTsPacket.h"
#include "ts/PcrMath.h"
#include "ts/PidMap.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

// The null packet as the muxer writes it: PID 0x1FFF, payload only, counter 0.
struct CNullPacket
{
    uint8_t v[kTsPacketSize];
    CNullPacket()
    {
        std::memset(v, 0xFF, sizeof(v));
        v[0] = kSyncByte;
        v[1] = 0x1F;
        v[2] = 0xFF;
        v[3] = 0x10;
    }
};
const CNullPacket kNull;

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

void CSlotScheduler::RefreshHead(size_t i)
{
    CInputState& state = m_vInputs[i];
    CTimedPacket* pHead = state.in.pQueue->HeadMutable();
    // A marker takes no slot: the change applies before the packet after it.
    // A packet sent ahead of its turn has taken its slot already.
    while (pHead != nullptr && (pHead->nChange != 0 || pHead->bTaken)) {
        const uint32_t nChange = pHead->bTaken ? 0 : pHead->nChange;
        pHead->bTaken = false;
        state.in.pQueue->Pop();
        if (nChange != 0 && m_pListener != nullptr) {
            m_pListener->OnInputChange(i, nChange);
        }
        pHead = state.in.pQueue->HeadMutable();
    }
    state.bHasHead = pHead != nullptr;
    if (pHead == nullptr) {
        return;
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
        if (!state.bHasHead) {
            RefreshHead(i);
        }
        if (!state.bHasHead) {
            // End flag before the queue: the reader publishes its last packet
            // before the end.
            if (state.in.pQueue->IsEndPublished() && state.in.pQueue->Head() == nullptr) {
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
    const CDelayWatch::CProgram* pProgram = m_delay.Find(nProgram);
    const long long llDelayMs = static_cast<long long>(m_time.MicrosAt(nDelay) / 1000);
    char szWho[32] = "a packet of no program";
    if (nProgram >= 0 && size_t(nProgram) < m_vProgramNumber.size()) {
        std::snprintf(szWho, sizeof szWho, "program %d", m_vProgramNumber[size_t(nProgram)]);
    }
    if (pProgram != nullptr && pProgram->nMargin >= 0) {
        LogPrint(kLogError,
                 "mux: input %zu: content exceeds the output rate; %s leaves %lld ms late, past "
                 "its decoding margin of %lld ms less %d ms",
                 i + 1, szWho, llDelayMs,
                 static_cast<long long>(pProgram->nMargin / (kPcrHz / 1000)), kLateGuardMs);
    } else {
        LogPrint(kLogError,
                 "mux: input %zu: content exceeds the output rate; %s leaves %lld ms late, more "
                 "than %d ms with no decoding margin known",
                 i + 1, szWho, llDelayMs, kLateGuardMs);
    }
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
            if (m_pListener != nullptr) {
                m_pListener->OnPcrPidMoved(nProgram, nFrom, nPid);
            }
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
    std::memcpy(pOut, packet.vData, kTsPacketSize);
    const int nOutPid = RemapPid(state.in.pPidMap, pOut);
    const int nProgram = m_vProgramOf[size_t(nOutPid)];
    if (HasPcrField(pOut)) {
        NoteContentPcr(i, nProgram, nOutPid, nSlot);
    }
    if (m_pcr.IsPcrPid(nOutPid)) {
        if (state.in.bLive) {
            FollowLivePcr(i, nSlot, packet.nTime, pOut);
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
    Emit(i, *state.in.pQueue->Head(), state.nHeadSlot, nSlot, pOut);
    state.in.pQueue->Pop();
    RefreshHead(i);
}

int CSlotScheduler::FindOwnPcr(size_t i, int nPid, int64_t nLimit)
{
    CInputState& state = m_vInputs[i];
    for (int k = 0;; ++k) {
        const CTimedPacket* p = state.in.pQueue->PeekMutable(k);
        // What comes after a table change may be mapped otherwise.
        if (p == nullptr || p->nChange != 0) {
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
            return HasPcrField(p->vData) ? k : -1;
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
        if (!state.bHasHead) {
            RefreshHead(i);
        }
        // The PID's own next PCR goes now when it is due by then (or a hair
        // later): ahead of packets of other PIDs that run late, it keeps the
        // gap without a PCR-only packet adding to their load.
        const int64_t nLimit = std::max(nSlot, m_pcr.GetDueSlot(nPid)) + m_pcr.GetEarlySlots();
        const int k = state.bHasHead ? FindOwnPcr(i, nPid, nLimit) : -1;
        if (k == 0) {
            TakeFrom(i, nSlot, pOut);
            return true;
        }
        if (k > 0) {
            CTimedPacket* p = state.in.pQueue->PeekMutable(k);
            Emit(i, *p, DueSlotOf(i, *p), nSlot, pOut);
            p->bTaken = true;
            return true;
        }
    }
    return m_pcr.TakeDue(nSlot, pOut) >= 0;
}

void CSlotScheduler::FollowLivePcr(size_t i, int64_t nSlot, int64_t nTime, uint8_t* pOut)
{
    CTsPacket packet;
    packet.SetData(pOut);
    const int64_t nPcr = packet.GetPcr();
    if (nPcr < 0) {
        return;
    }
    // A live program runs on its sender's clock, and so must its PCRs, or
    // its time stamps would drift from them by the clocks' difference (50
    // ppm: 180 ms an hour). Restamping from the slot would put them on ours;
    // the input's own PCR plus how late the packet leaves against its due
    // time keeps the sender's clock and the exact position.
    const int64_t nDue = nTime + m_vInputs[i].nLiveShift - m_nLocalStartTicks;
    packet.SetPcr(PcrAdd(nPcr, PcrWrap(m_time.TicksAt(nSlot) - nDue)));
}

int CSlotScheduler::FillSlots(int nCount, uint8_t* pOut)
{
    m_nStarved = -1;
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
        bool bTable = false;
        if (m_pcr.GetNextDueSlot() <= nSlot && TakePcr(nSlot, p)) {
            // a PCR
        } else {
            const int nInput = PickInput(nSlot);
            if (m_nStarved >= 0) {
                break; // what the input has next may be due first
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
                    std::memcpy(p + k * kTsPacketSize, kNull.v, kTsPacketSize);
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
    }
    return nFilled;
}
