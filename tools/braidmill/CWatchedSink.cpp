#include "CWatchedSink.h"

#include <cerrno>

void CWatchedSink::NoteWritten(int nCount, int nErrno)
{
    // A batch the real sink failed on is not counted: how much of it reached
    // the file is unknown, and the sink trims a cut packet on close.
    if (m_pInner->IsBroken()) {
        if (!m_bBroken.load()) {
            m_nErrno.store(nErrno);
        }
        m_bBroken.store(true);
    } else {
        m_llPackets.fetch_add(nCount);
    }
}

void CWatchedSink::RenderOnePacket(unsigned char* packet)
{
    if (m_bBroken.load()) {
        return;
    }
    errno = 0; // the sink says no more than IsBroken; its write leaves errno
    m_pInner->RenderOnePacket(packet);
    NoteWritten(1, errno);
}

void CWatchedSink::RenderPackets(unsigned char* packets, int nCount)
{
    if (m_bBroken.load() || nCount <= 0) {
        return;
    }
    errno = 0;
    m_pInner->RenderPackets(packets, nCount);
    NoteWritten(nCount, errno);
}

void CWatchedSink::Destroy()
{
    m_pInner->Destroy();
    if (m_pInner->IsBroken()) {
        m_bBroken.store(true);
    }
}
