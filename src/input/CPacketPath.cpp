#include "input/CPacketPath.h"

#include "input/CPacketTiming.h"
#include "input/CQueueWriter.h"
#include "input/CTableFollower.h"
#include "log/CLogger.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

double CPacketPath::GetKeptShare(bool bEnded) const
{
    const int64_t nFed = m_nFed.load(std::memory_order_acquire);
    if (nFed == 0 || (nFed < kShareWindow && !bEnded)) {
        return -1;
    }
    return double(m_nFedKept.load(std::memory_order_relaxed)) / double(nFed);
}

void CPacketPath::Apply(const CInputTables& tables)
{
    m_filter.Apply(tables);
    m_margin.SetPrograms(tables.vPrograms);
}

bool CPacketPath::HoldsBack()
{
    bool bBegins = false;
    if (m_writer.HoldsBack(m_bReplaying, bBegins)) {
        return true;
    }
    if (bBegins) {
        // What was held back is lost to the output: each stream starts at
        // its next unit.
        m_filter.RestartUnits();
    }
    return false;
}

void CPacketPath::Feed(const unsigned char* pData, int64_t nPos)
{
    if (pData[0] != kSyncByte) {
        return; // lost sync: only its position counts
    }
    const int nPid = CTsPacket::PidOf(pData);
    if (std::shared_ptr<const CInputTables> pTables = m_tables.Follow(pData, nPid, nPos)) {
        Apply(*pTables);
        m_tables.Mark(nPos, HoldsBack());
    }
    if (m_bResumeNext && !m_bReplaying) {
        m_bResumeNext = false;
        m_writer.MarkAll();
        m_timing.Resume(nPos);
    }
    if (m_bCaPass.load(std::memory_order_relaxed) != m_filter.IsCaPass()) {
        m_filter.SetCaPass(!m_filter.IsCaPass());
    }
    bool bKeep = m_filter.IsKept(nPid);
    if (const int64_t nFed = m_nFed.load(std::memory_order_relaxed); nFed < kShareWindow) {
        // Kept first: a reader of the share never sees a fed count ahead of it.
        m_nFedKept.store(m_nFedKept.load(std::memory_order_relaxed) + (bKeep ? 1 : 0),
                         std::memory_order_relaxed);
        m_nFed.store(nFed + 1, std::memory_order_release);
    }
    if (bKeep && CPidFilter::IsMalformed(pData)) {
        if (!m_bMalformedLogged) {
            m_bMalformedLogged = true;
            LogPrint(kLogWarning, "input %d: packet with a malformed header on PID 0x%04X dropped",
                     m_writer.GetNumber(), unsigned(nPid));
        }
        bKeep = false;
    }
    if (bKeep && !HoldsBack()) {
        bool bMark = false;
        bKeep = m_filter.PassesUnit(pData, nPid, bMark);
        if (bMark) {
            m_writer.MarkPid(nPid);
        }
    } else {
        bKeep = false;
    }
    if (bKeep) {
        m_tables.PayOwed(nPos);
    }

    int64_t nPcr = -1;
    // A malformed header's PCR is no PCR: it must neither time nor jump.
    if (m_timing.IsTimed() && CTsPacket::HasPcrFlag(pData) && !CPidFilter::IsMalformed(pData)) {
        CTsPacket view;
        view.SetData(const_cast<unsigned char*>(pData));
        nPcr = view.GetPcr();
        // Every PID says so from here on, so that the muxer takes this PCR
        // as a new time base instead of restamping across it, and receivers
        // take the counters that jump with it.
        if (nPcr >= 0 && m_timing.TakePcr(nPid, nPcr, view.GetDiscontinuityIndicator())) {
            m_writer.MarkAll();
        }
    }
    // Every packet of a program's PIDs: its PCRs count while its payload waits.
    const int32_t nMargin =
        m_filter.IsKept(nPid) ? m_margin.Look(pData, nPid, nPcr, nPos) : CTimedPacket::kNoMargin;
    if (bKeep) {
        m_cc.Count(pData, nPid);
        m_writer.Queue(pData, nPos, nMargin);
    }
    m_timing.Stamp(nPos, m_bReplaying);
}
