#include "ts/CTsWalker.h"

#include "ts/TsConstants.h"

#include <algorithm>

bool CTsWalker::Start(const unsigned char* pFirst, int nLength, bool bEnd)
{
    // Every caller looks at the same bytes, so that all find the same
    // packets, whatever more they have read.
    const bool bAll = nLength <= kSyncProbeBytes && bEnd;
    if (!FindTsLayout(pFirst, std::min(nLength, kSyncProbeBytes), bAll, m_layout)) {
        return false;
    }
    m_nConfirm = kSyncConfirmPackets;
    Restart();
    // The timestamp before the first packet of a 192-byte stream is no junk.
    const int nHead = m_layout.nStep == kM2tsPacketSize ? kM2tsPacketSize - kTsPacketSize : 0;
    m_llLosses = 0;
    m_llSkippedAll = 0;
    m_bLeadUntold = m_layout.nFirst > nHead;
    if (m_bLeadUntold) {
        m_llLosses = 1;
        m_llSkipped = m_layout.nFirst - nHead;
        m_llSkippedAll = m_llSkipped;
    }
    return true;
}

void CTsWalker::FitBuffer(int nBytes)
{
    if (m_layout.nStep > 0) {
        m_nConfirm = std::clamp(nBytes / m_layout.nStep, 1, kSyncConfirmPackets);
    }
}

void CTsWalker::Restart()
{
    m_llBase = 0;
    m_nSkipAhead = std::max(m_layout.nFirst, 0);
    m_bSynced = true;
    m_bLeadUntold = false;
    m_bStopped = false;
}

int CTsWalker::Walk(unsigned char* pData, int nTotal, bool bFinal, ITsPacketSink& sink)
{
    if (m_layout.nStep <= 0 || m_bStopped) {
        return 0;
    }
    if (m_bLeadUntold) {
        m_bLeadUntold = false;
        sink.OnSyncRegained(m_layout.nFirst, m_llSkipped, m_llLosses);
    }
    const int nStep = m_layout.nStep;
    int nPos = std::min(m_nSkipAhead, nTotal);
    m_nSkipAhead -= nPos;
    while (nPos < nTotal) {
        if (m_bSynced) {
            if (nPos + kTsPacketSize > nTotal) {
                break; // a partial packet: the rest comes with the next bytes
            }
            if (pData[nPos] == kSyncByte) {
                if (!sink.OnPacket(pData + nPos, m_llBase + nPos)) {
                    m_bStopped = true;
                    return 0;
                }
                nPos += nStep;
                continue;
            }
            m_bSynced = false;
            m_llSkipped = 0;
            ++m_llLosses;
        }
        int nAt = nTotal;
        const ESync result = FindSync(pData, nPos, nTotal, nStep, m_nConfirm, bFinal, nAt);
        m_llSkipped += nAt - nPos;
        nPos = nAt;
        if (result == ESync::kFound) {
            m_bSynced = true;
            m_llSkippedAll += m_llSkipped;
            sink.OnSyncRegained(m_llBase + nPos, m_llSkipped, m_llLosses);
            continue;
        }
        if (result == ESync::kNone) {
            // FindSync has skipped to the end: the rest is dropped.
            m_llSkippedAll += m_llSkipped;
            sink.OnSyncNone(m_llSkipped);
        }
        break;
    }
    if (nPos > nTotal) {
        // The step of the last packet (its parity) runs past these bytes.
        m_nSkipAhead = nPos - nTotal;
        nPos = nTotal;
    }
    m_llBase += nPos;
    return nTotal - nPos;
}
