#include "mux/CSlotScheduler.h"

#include "input/CTimedQueue.h"
#include "log/CLogger.h"
#include "mux/MuxConstants.h"
#include "ts/CTsPacket.h"
#include "ts/PcrMath.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr int kPidMask = kPidCount - 1;

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

} // namespace

CSlotScheduler::CSlotScheduler(int64_t nBitsPerSecond, std::vector<CPsiTable> vTables,
                               int64_t nLateBudgetSlots)
    : m_time(nBitsPerSecond), m_carousel(std::max<int64_t>(m_time.SlotsIn(kTableCycleMs), 1)),
      m_pcr(m_time, m_time.SlotsIn(kPcrInsertMs), m_time.SlotsIn(kPcrMaxGapMs)),
      m_nLateBudget(nLateBudgetSlots), m_vProgramOf(kPidCount, -1), m_vPcrInput(kPidCount, -1),
      m_nPcrEarlySlots(m_time.SlotsIn(kPcrMaxGapMs) / 20)
{
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

void CSlotScheduler::RefreshHead(size_t i)
{
    CInputState& state = m_vInputs[i];
    const CTimedPacket* pHead = state.in.pQueue->Head();
    // A marker takes no slot: the change applies before the packet after it.
    while (pHead != nullptr && pHead->nChange != 0) {
        const uint32_t nChange = pHead->nChange;
        state.in.pQueue->Pop();
        if (m_pListener != nullptr) {
            m_pListener->OnInputChange(i, nChange);
        }
        pHead = state.in.pQueue->Head();
    }
    if (pHead == nullptr) {
        state.bHasHead = false;
        return;
    }
    state.bHasHead = true;
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
    if (!state.in.bTimed) {
        state.nHeadSlot = m_nStartSlot;
        return;
    }
    if (state.in.bLive) {
        if (state.nFirstTime < 0) {
            state.nFirstTime = pHead->nTime;
            // What queued up before the output started leaves from the start
            // slot on at its own spacing; the delay then stays what it was
            // there, so it never grows or shrinks during the run.
            state.nLiveShift = std::max(kLiveDelayMs * (kPcrHz / 1000),
                                        m_nLocalStartTicks - pHead->nTime);
            LogPrint(kLogDebug, "mux: input %zu: live, %lld ms through the multiplex", i + 1,
                     static_cast<long long>(state.nLiveShift / (kPcrHz / 1000)));
        }
        const int64_t nDue = pHead->nTime + state.nLiveShift - m_nLocalStartTicks;
        state.nHeadSlot = std::max(m_nStartSlot, m_time.SlotAtTicks(std::max<int64_t>(nDue, 0)));
        return;
    }
    if (state.nFirstTime < 0) {
        state.nFirstTime = pHead->nTime;
    }
    state.nHeadSlot =
        state.nBaseSlot + m_time.SlotAtTicks(std::max<int64_t>(pHead->nTime - state.nFirstTime, 0));
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

void CSlotScheduler::NoteLate(size_t i, int64_t nLate)
{
    CInputState& state = m_vInputs[i];
    CInputStats& stats = m_vStats[i];
    stats.nMaxLateSlots = std::max(stats.nMaxLateSlots, nLate);
    if (nLate <= m_nLateBudget) {
        state.bLateEpisode = false;
        return;
    }
    ++stats.nLate;
    if (!state.bLateEpisode) {
        state.bLateEpisode = true;
        LogPrint(kLogError,
                 "mux: input %zu: content exceeds the output rate; packets leave more than %lld ms "
                 "late",
                 i + 1, static_cast<long long>(m_time.MicrosAt(m_nLateBudget) / 1000));
    }
}

void CSlotScheduler::TakeFrom(size_t i, int64_t nSlot, uint8_t* pOut)
{
    CInputState& state = m_vInputs[i];
    const CTimedPacket* pHead = state.in.pQueue->Head();
    std::memcpy(pOut, pHead->vData, kTsPacketSize);
    const int nInPid = ((pOut[1] << 8) | pOut[2]) & kPidMask;
    const int nOutPid = state.in.pPidMap[nInPid] & kPidMask; // -1 gives the null PID
    pOut[1] = uint8_t((pOut[1] & 0xE0) | (nOutPid >> 8));
    pOut[2] = uint8_t(nOutPid & 0xFF);
    if (m_pcr.IsPcrPid(nOutPid)) {
        if (state.in.bLive) {
            FollowLivePcr(i, nSlot, pHead->nTime, pOut);
        }
        m_pcr.OnPacket(nSlot, state.nHeadSlot, pOut, nOutPid);
    }
    const int nProgram = m_vProgramOf[size_t(nOutPid)];
    if (nProgram >= 0) {
        ++m_vProgramPackets[size_t(nProgram)];
    }
    ++m_vStats[i].nMuxed;
    NoteLate(i, nSlot - state.nHeadSlot);
    state.in.pQueue->Pop();
    RefreshHead(i);
}

bool CSlotScheduler::TakePcr(int64_t nSlot, uint8_t* pOut)
{
    const int nPid = m_pcr.GetDuePid(nSlot);
    if (nPid < 0) {
        return false;
    }
    const int nInput = m_vPcrInput[size_t(nPid)];
    if (nInput >= 0) {
        CInputState& state = m_vInputs[size_t(nInput)];
        if (!state.bHasHead) {
            RefreshHead(size_t(nInput));
        }
        const CTimedPacket* pHead = state.bHasHead ? state.in.pQueue->Head() : nullptr;
        // Early by a hair (the slot rounding of a 40 ms input), not more.
        if (pHead != nullptr && state.nHeadSlot <= nSlot + m_nPcrEarlySlots) {
            const uint8_t* h = pHead->vData;
            const int nHeadPid = state.in.pPidMap[((h[1] << 8) | h[2]) & kPidMask] & kPidMask;
            // The PID's own PCR is next from its input: it goes now, a
            // little ahead of its turn, instead of a PCR-only packet just
            // before it.
            if (nHeadPid == nPid && (h[3] & 0x20) != 0 && h[4] >= 7 && (h[5] & 0x10) != 0) {
                TakeFrom(size_t(nInput), nSlot, pOut);
                return true;
            }
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
            const bool bTableFirst =
                nTableDue <= nSlot &&
                (nInput < 0 || nTableDue <= m_vInputs[size_t(nInput)].nHeadSlot ||
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
