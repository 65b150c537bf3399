#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class CPacketFifo;
class CPsiAnalyzer;

// An input before it is ready: its packets are stored in a FIFO, oldest
// dropped first, and after each one the analyzer runs a pass over what is
// stored, until every PMT of the PAT is known, or the missing ones have had
// their time since the PAT (about a second of input) and at least one
// program is known. Then what was stored, the newest stretch of the input,
// is replayed to the packet path, so that a stream's first packets are not
// lost to the wait. Used by the input's reader thread alone. Owned by the
// input module.
class CInputAnalysis
{
public:
    explicit CInputAnalysis(CPsiAnalyzer& analyzer);
    ~CInputAnalysis();
    CInputAnalysis(const CInputAnalysis&) = delete;
    CInputAnalysis& operator=(const CInputAnalysis&) = delete;

    // Stores the packet at input position nPos and runs a pass; true once
    // the input can go ahead. nGivenBitRate: the client's rate (bit/s, -1
    // none), which shortens the wait for a slow input.
    bool Store(const unsigned char* pData, int64_t nPos, int nGivenBitRate);
    // A program is known: at the end of the stream the input goes with it.
    bool HasProgram() const;
    // Packets stored; the newest is the last one stored.
    int64_t GetStoredCount() const;
    // Hands every stored packet to feed, oldest first, with its input
    // position (nEnd: the position after the newest), and frees the FIFO
    // first: feeding may wait for room in the queue. Once.
    void Replay(int64_t nEnd, const std::function<void(const unsigned char*, int64_t)>& feed);

private:
    // Whether the PMTs still missing have had their time since the PAT.
    bool PmtWaitOver(const unsigned char* pData, int64_t nPos, int nGivenBitRate);

    CPsiAnalyzer& m_analyzer;
    std::unique_ptr<CPacketFifo> m_pFifo; // null once replayed
    int64_t m_nPatAt = -1;                // position of the first PAT; -1 none yet
    int m_nWaitPcrPid = -1;               // the PID whose PCRs time the PMT wait
    int64_t m_nWaitPcr = -1;              // its last PCR, ticks
    int64_t m_nWaitTicks = 0;             // PCR time since the PAT, ticks
};
