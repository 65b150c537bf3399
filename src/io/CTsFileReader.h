#pragma once

#include "io/CLoopMarker.h"
#include "ts/CTsWalker.h"

#include <cstdio>
#include <functional>
#include <memory>

class CInputModuleIface;

// The file source's read of one stream, on its reader thread: reads the
// first bytes to find the packets, then serves them from memory ahead of
// the rest of the file (nothing seeks back: a pipe cannot), walks it all
// chunk by chunk through the source's read buffer and hands every packet to
// the input module in file order. A looping file starts again from its first
// packet, each pass after the first marked by CLoopMarker. Says what it
// meets on the way (packet size, junk skipped, a cut last packet, a read
// error); the end of the stream is the source's to pass on. Made by
// CSourceFile::WorkFun for one run and used by its thread alone.
class CTsFileReader final : private ITsPacketSink
{
public:
    enum class EEnd {
        kEnd,       // the end of the file, or no packets in it
        kStopped,   // the source was asked to stop
        kReadError, // logged in LogSummary
        kNoBuffer   // nothing read: no read buffer, no stream or no memory (logged)
    };

    // pFile stays the caller's; szName names it in the log lines; stopRequested is
    // asked before each packet.
    CTsFileReader(FILE* pFile, const char* szName, CInputModuleIface& module, bool bLoop,
                  std::function<bool()> stopRequested);

    // Reads to the end, through pBuffer[0, nBufferSize).
    EEnd Run(unsigned char* pBuffer, int nBufferSize);
    // The lines that sum a run up: the sync losses past those logged one by
    // one, a read error.
    void LogSummary(EEnd end) const;

private:
    enum class EChunk { kMore, kEnd, kError };

    bool ReadProbe();
    bool FindPackets();
    EChunk ReadChunk(unsigned char* pDest, int nWant, int& nRead);
    bool StartAgain();

    bool OnPacket(unsigned char* pPacket, long long llOffset) override;
    void OnSyncRegained(long long llOffset, long long llSkipped, long long nLoss) override;
    void OnSyncNone(long long llSkipped) override;

    FILE* m_pFile;
    const char* m_szName;
    CInputModuleIface& m_module;
    bool m_bLoop;
    std::function<bool()> m_stopRequested;

    std::unique_ptr<unsigned char[]> m_pProbe; // the file's first bytes
    int m_nProbe = 0;                          // bytes in it
    bool m_bProbeEnd = false;                  // the file ends within them
    int m_nProbePos = 0;                       // next probe byte to serve
    CTsWalker m_walker;
    CLoopMarker m_marker;
    unsigned char m_vExtra[kTsPacketSize]; // a packet the marker inserts
    long long m_llPassPackets = 0;         // packets handed on in this pass
    long long m_llPasses = 1;
};
