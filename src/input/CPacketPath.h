#pragma once

#include "input/CContinuityCount.h"
#include "input/CDecodingMargin.h"
#include "input/CPidFilter.h"

#include "ts/TsConstants.h"

#include <atomic>
#include <cstdint>

class CPacketTiming;
class CQueueWriter;
class CTableFollower;
struct CInputTables;

// Where each packet of a ready input goes. It drops what no program of the
// input carries, packets whose header a receiver cannot take, and each
// stream's payload up to its first unit start; counts continuity on what
// it keeps; queues that for the muxer with its decoding margin; and hands
// every packet's PCR to the timing. Table packets go to the table follower
// first, so that a change takes effect from the next packet. Where the
// stream resumes (after the engine took the input as down) or a PCR jumps
// unsignalled, the first packet of every PID from there on carries
// discontinuity_indicator. Used by the input's reader thread alone; the CC
// count from any thread. Owned by the input module.
class CPacketPath
{
public:
    CPacketPath(CQueueWriter& writer, CPacketTiming& timing, CTableFollower& tables)
        : m_writer(writer), m_timing(timing), m_tables(tables)
    {
    }
    CPacketPath(const CPacketPath&) = delete;
    CPacketPath& operator=(const CPacketPath&) = delete;

    // The tables' PIDs and programs from the next packet on.
    void Apply(const CInputTables& tables);
    // The input was down: the next packet fed (not replayed) resumes it.
    void ResumeNext() { m_bResumeNext = true; }
    // Between these, packets stored before ready are fed again: they
    // arrived earlier, and a live input keeps none of them.
    void SetReplaying(bool bReplaying) { m_bReplaying = bReplaying; }
    // Whether a live input keeps nothing now (before its output began);
    // the first time it keeps, every stream starts at its next unit.
    bool HoldsBack();
    // Whether ECM and EMM packets go on (any thread; from the next packet).
    void SetCaPass(bool bPass) { m_bCaPass.store(bPass, std::memory_order_relaxed); }
    // One packet at input position nPos.
    void Feed(const unsigned char* pData, int64_t nPos);

    int64_t GetCcErrors() const { return m_cc.GetErrors(); }
    // Of the first packets fed, the share on the programs' PIDs, once they
    // have all come or bEnded; -1 before (any thread).
    double GetKeptShare(bool bEnded) const;

private:
    CQueueWriter& m_writer;
    CPacketTiming& m_timing;
    CTableFollower& m_tables;
    CPidFilter m_filter;      // which packets go on to the muxer
    CDecodingMargin m_margin; // of the PES the queue carries
    CContinuityCount m_cc;
    bool m_bReplaying = false;
    bool m_bResumeNext = false; // the input was down: the next packet fed resumes it
    bool m_bMalformedLogged = false;
    std::atomic<bool> m_bCaPass{false}; // set by the engine, followed by the filter
    // The programs' share is taken over the first packets fed, the same ones
    // on every run of a file; fewer than the queue holds, so that the reader
    // never waits for the muxer before the share is known.
    static constexpr int64_t kShareWindow = kInputQueuePackets - 96;
    std::atomic<int64_t> m_nFed{0};     // first packets fed (this thread writes)
    std::atomic<int64_t> m_nFedKept{0}; // ... of them on a kept PID
};
