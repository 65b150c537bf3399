#include "input/CPacketTiming.h"

#include "log/CLogger.h"
#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <algorithm>

namespace {

// Packets held for the next PCR before they are timed by extrapolation: an
// input whose PCRs stop still moves, and the reader never fills the queue
// with packets the muxer cannot see.
constexpr int kMaxPendingPackets = kInputQueuePackets / 2;

} // namespace

bool CPacketTiming::TakePcr(int nPid, int64_t nPcr, bool bDiscontinuity)
{
    bool bJump = false;
    m_bPace = TakesPacePcr(nPid, nPcr, bDiscontinuity, m_bNewBase, bJump);
    m_nPcr = nPcr;
    return bJump;
}

bool CPacketTiming::TakesPacePcr(int nPid, int64_t nPcr, bool bDiscontinuity, bool& bNewBase,
                                 bool& bJump)
{
    int64_t& nLast = m_vLastPcr[size_t(nPid)];
    bJump = !bDiscontinuity && IsPcrJump(nLast, nPcr);
    const int64_t nPrev = nLast;
    nLast = nPcr;
    bNewBase = bDiscontinuity || bJump;
    if (m_nPacePid < 0) {
        m_nPacePid = nPid;
        return true;
    }
    if (nPid == m_nPacePid) {
        m_nSincePace = 0;
        return true;
    }
    // The programs of an input may run on independent clocks: pace by one
    // PID, and move to another only once the pacing one has been silent for
    // a while of that other's clock.
    if (nPid != m_nSinceOtherPid) {
        m_nSinceOtherPid = nPid;
        m_nSincePace = 0;
    } else if (!bNewBase && nPrev >= 0) {
        m_nSincePace += PcrForwardDelta(nPrev, nPcr);
    }
    if (m_nSincePace <= kPcrPaceFallbackTicks) {
        return false;
    }
    LogPrint(kLogWarning, "input: no PCR on PID 0x%04X for %lld ms; paced by PID 0x%04X from now",
             unsigned(m_nPacePid), static_cast<long long>(m_nSincePace * 1000 / kPcrHz),
             unsigned(nPid));
    m_nPacePid = nPid;
    m_nSincePace = 0;
    bNewBase = true; // another clock
    return true;
}

void CPacketTiming::Stamp(int64_t nPos, bool bReplayed)
{
    const bool bPace = m_bPace;
    m_bPace = false;
    if (!m_bTimed) {
        StampPending(true);
        return;
    }
    if (bPace) {
        m_nPcrs.fetch_add(1, std::memory_order_relaxed);
        const int64_t nTime = m_timeline.AddPcr(nPos, m_nPcr, m_bNewBase);
        m_nBitRate.store(m_timeline.GetSpanBitRate(), std::memory_order_relaxed);
        if (m_bLive && !bReplayed) {
            m_liveClock.AddSample(nTime, os::ToMicros(m_pClock->Now()), m_bNewBase);
        }
        StampPending(false);
    } else if (m_bLive && m_liveClock.HasAnchor() && m_timeline.HasRate()) {
        // A live packet goes out at once, timed from the last PCR: one that
        // waited for the next PCR would wait for ever when the sender stops
        // right after it.
        StampPending(true);
    } else if (m_queue.GetPendingCount() >= kMaxPendingPackets) {
        if (!m_bNoPcrLogged) {
            m_bNoPcrLogged = true;
            LogPrint(kLogWarning, "input: %d packets without a usable PCR; paced at %s from now on",
                     kMaxPendingPackets,
                     m_timeline.HasRate() ? "the rate of its last PCRs" : "its estimated rate");
        }
        StampPending(true);
    }
}

void CPacketTiming::Resume(int64_t nPos)
{
    if (m_bLive && m_liveClock.HasAnchor() && m_timeline.HasAnchor()) {
        // Its sender's clock is found again from here: what comes now is due
        // its delay from now, not from where the old map would put it.
        m_liveClock.AddSample(m_timeline.Extrapolate(nPos), os::ToMicros(m_pClock->Now()), true);
    }
}

void CPacketTiming::End(bool bReady)
{
    if (m_bLive) {
        // What waited for a PCR that never came: due from now, not from
        // when it arrived, or it would leave late.
        m_nLiveFloor = os::ToMicros(m_pClock->Now()) * (kPcrHz / 1'000'000);
    }
    if (bReady) {
        StampPending(true);
    }
}

void CPacketTiming::StampPending(bool bExtrapolate)
{
    const int nCount = m_queue.GetPendingCount();
    if (nCount == 0) {
        return;
    }
    if (!m_bTimed) {
        for (int k = 0; k < nCount; ++k) {
            m_queue.Pending(k).nTime = 0;
        }
        m_queue.Publish(nCount);
        return;
    }
    if (!m_timeline.HasAnchor()) {
        if (!bExtrapolate) {
            return;
        }
        m_timeline.SetFallbackBitRate(GetGivenBitRate());
        // At the first packet: a marker ahead of it may stand at an earlier
        // position (the tables' marker, at the first packet stored).
        int nFirst = 0;
        while (nFirst + 1 < nCount && m_queue.Pending(nFirst).nChange != 0) {
            ++nFirst;
        }
        m_timeline.AnchorAt(m_queue.Pending(nFirst).nTime);
    }
    // The first PCR alone gives no rate: what came before it waits for the
    // second, unless it has to go now.
    if (!bExtrapolate && !m_timeline.HasRate()) {
        return;
    }
    if (m_bLive && !m_liveClock.HasAnchor()) {
        // Replayed packets wait for a PCR that arrives now; an input without
        // usable PCRs is timed from here on at the rate it is read.
        if (!bExtrapolate) {
            return;
        }
        m_liveClock.AddSample(m_timeline.Extrapolate(m_queue.Pending(nCount - 1).nTime),
                              os::ToMicros(m_pClock->Now()), true);
    }
    for (int k = 0; k < nCount; ++k) {
        CTimedPacket& packet = m_queue.Pending(k);
        const int64_t nPos = packet.nTime;
        int64_t nTime = bExtrapolate ? m_timeline.Extrapolate(nPos) : m_timeline.TimeBetween(nPos);
        if (m_bLive) {
            // A live packet keeps its own time, also where an extrapolation
            // ran ahead of the PCR that followed: the muxer restamps a PCR
            // from how late it leaves against that time.
            nTime = std::max(m_liveClock.LocalMicros(nTime) * (kPcrHz / 1'000'000), m_nLiveFloor);
        } else {
            // An extrapolation that ran ahead of the PCR that followed must
            // not make time go backwards in the queue.
            nTime = std::max(nTime, m_nLastTime);
        }
        packet.nTime = nTime;
        m_nLastTime = nTime;
    }
    m_queue.Publish(nCount);
}
