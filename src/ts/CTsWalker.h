#pragma once

#include "ts/TsSync.h"

// What a walk over a stream hands on. Called on the walking thread, in
// stream order.
class ITsPacketSink
{
public:
    // One packet: its 188 bytes, which the sink may change in place, and the
    // stream offset of its sync byte. False stops the walk; the packet is not
    // taken then.
    virtual bool OnPacket(unsigned char* pPacket, long long llOffset) = 0;
    // The alignment found again at llOffset after llSkipped bytes; nLoss
    // counts the losses of sync so far, the junk before the first packet as
    // the first.
    virtual void OnSyncRegained(long long /*llOffset*/, long long /*llSkipped*/,
                                long long /*nLoss*/)
    {
    }
    // No alignment in the last llSkipped bytes of the stream: dropped.
    virtual void OnSyncNone(long long /*llSkipped*/) {}

protected:
    ~ITsPacketSink() = default;
};

// Finds the transport packets of a byte stream that arrives in pieces (a
// file read chunk by chunk, a buffer read at once) and hands each on as 188
// bytes: the layout (188, 192 or 204 bytes a packet) from the stream's
// first bytes, leading junk skipped, the alignment searched again where a
// packet position holds no sync byte. The same bytes give the same packets
// however they are cut into pieces, so that the reader and the rate
// estimates see one stream. Used by one thread; owned by whoever walks.
class CTsWalker
{
public:
    // Finds the layout among pFirst[0, nLength): kSyncProbeBytes of the
    // stream (bytes past them are not looked at), or all of it when it is
    // shorter (bEnd: then the last packets confirm with what there is;
    // kSyncProbeBytes always hold the confirmations). False when no packets
    // are there.
    bool Start(const unsigned char* pFirst, int nLength, bool bEnd);
    // A caller's buffer of nBytes must hold the packets that confirm an
    // alignment found again, with room left to read: a small one confirms
    // with fewer (at least one).
    void FitBuffer(int nBytes);
    // The stream again from its first byte (a file that loops): the leading
    // junk is skipped without a word this time.
    void Restart();

    // Walks the next bytes of the stream, pData[0, nTotal), the first of
    // them the bytes the last call left. Returns how many bytes at the end
    // it leaves: a partial packet or an alignment not yet confirmed, which
    // the caller puts first in the next call's data. bFinal: the stream ends
    // here; what is left then is a partial last packet, never a packet.
    int Walk(unsigned char* pData, int nTotal, bool bFinal, ITsPacketSink& sink);

    bool IsStopped() const { return m_bStopped; } // a sink refused a packet
    const CTsLayout& GetLayout() const { return m_layout; }
    long long GetSyncLosses() const { return m_llLosses; }
    long long GetSkippedBytes() const { return m_llSkippedAll; }

private:
    CTsLayout m_layout;
    int m_nConfirm = 0;           // packets that confirm an alignment found again
    long long m_llBase = 0;       // stream offset of pData[0] in the next Walk
    int m_nSkipAhead = 0;         // bytes to pass before the next packet: junk, parity
    bool m_bSynced = true;        // the next position holds a packet
    bool m_bLeadUntold = false;   // the junk before the first packet is not yet reported
    long long m_llSkipped = 0;    // bytes skipped in the current loss of sync
    long long m_llLosses = 0;     // losses of sync, the leading junk included
    long long m_llSkippedAll = 0; // bytes skipped in all
    bool m_bStopped = false;
};
