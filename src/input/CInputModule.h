#pragma once

#include "braidmill.h"
#include "input/CDecodingMargin.h"
#include "input/CInputTables.h"
#include "input/CInputTimeline.h"
#include "input/CLiveClock.h"
#include "input/CPidFilter.h"
#include "input/CProgramDescriptors.h"
#include "input/CQueueWriter.h"
#include "input/CTimedQueue.h"
#include "os/CClock.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class CPacketFifo;
class CPsiAnalyzer;
class CTsPacket;

// One input of the multiplex, behind CInputModuleIface. The reader thread
// stores packets (RecvOnePacket, StreamEnd) and, until the programs are
// known, runs an analysis pass per packet. From then on it drops what no
// program of the input carries, gives every packet its time on the input's
// timeline (interpolated between the PCRs around it) and queues it for the
// muxer, blocking while the queue is full (a live input grows its queue or
// drops instead). It keeps following the tables: on each change it keeps and
// drops PIDs from the next packet on, stores the new table set and queues a
// marker where the change happened; the set it became ready with gets a
// marker too, so that an engine that takes the input up late meets it before
// the first packet. Where its stream resumes (after the engine took it as
// down) or its time base jumps unsignalled, the first packet of every PID
// from there on carries discontinuity_indicator.
//
// The program list the client reads is written by the reader thread before
// m_bReady is published (release) and never after; table sets go to the
// muxer through m_vTableSets, under its lock. The
// PID map is written by the engine before it starts taking packets and read
// on the consumer's thread only. Owns everything it points to.
class CInputModule
{
public:
    CInputModule();
    ~CInputModule();
    CInputModule(const CInputModule&) = delete;
    CInputModule& operator=(const CInputModule&) = delete;

    void SetSourceAttribute(_SOURCE_ATTRIBUTE attr);
    void SetPrepareType(_OVERFLOW_TREATMENT type);
    void Start() {}
    void RecvOnePacket(unsigned char* pData, int nLen);
    void StreamEnd();
    bool IsReady() const;
    int GetProgramCount() const;
    std::vector<_PROGRAM_INFO>* GetDemuxInfo() { return m_pPrograms.get(); }
    int* GetPidMapList() { return m_pPidMap.get(); }
    // The queue's head, rewritten to its output PID, once its time has come
    // by the module's clock (timed inputs); PTS/DTS deltas are not computed.
    unsigned char* GetOnePacket(long long& llPtsDelta, long long& llDtsDelta, int& nPcrPid);
    void ReleaseBuffer(unsigned char* pPacket);
    bool IsStreamEnd() const;

    // The stream has ended while its programs are still unknown.
    bool CanNeverBeReady() const;
    // A reader waiting for room drops its packet and returns at once, now
    // and from now on.
    void AbortWait();
    // The clock GetOnePacket paces against.
    void SetClock(os::IClock& clock)
    {
        m_pClock = &clock;
        m_writer.SetClock(clock);
    }
    void SetBitRate(int nBitsPerSecond);
    // The input arrives in real time (before data): its packets are timed on
    // the clock of SetClock, recovered from its PCRs against their arrival;
    // a full queue drops instead of holding the reader.
    void SetLive(bool bLive)
    {
        m_bLive = bLive;
        m_writer.SetLive(bLive);
    }
    bool IsLive() const { return m_bLive; }
    // The engine starts taking packets (its thread, before the first look).
    // A live input queues nothing before: what waited would only leave late
    // and set its delay through the muxer above the one it is due.
    void BeginOutput() { m_writer.BeginOutput(); }
    // The input is down (from any thread: the engine, or the source when it
    // knows its feed is lost): its next packet starts again as a new stream.
    void SetDown() { m_bDown.store(true, std::memory_order_release); }
    bool IsDown() const { return m_bDown.load(std::memory_order_acquire); }
    // The source says its feed is lost (any thread): down at once.
    void SetFeedLost()
    {
        m_bFeedLost.store(true, std::memory_order_release);
        SetDown();
    }
    bool IsFeedLost() const { return m_bFeedLost.load(std::memory_order_acquire); }
    // The reader waits for data that has not come (set by the source).
    void SetFeedWaiting(bool bWaiting) { m_bFeedWaiting.store(bWaiting, std::memory_order_relaxed); }
    bool IsFeedWaiting() const { return m_bFeedWaiting.load(std::memory_order_relaxed); }
    // Its ECM and EMM PIDs go on to the muxer (any thread; the reader
    // follows from its next packet on).
    void SetCaPass(bool bPass) { m_bCaPass.store(bPass, std::memory_order_relaxed); }
    // The input's number in the engine, 1-based, for the log lines.
    void SetNumber(int nInput) { m_writer.SetNumber(nInput); }
    // The PMT descriptors of each program, parallel to GetDemuxInfo; for the
    // engine, once the input is ready.
    const std::vector<CProgramDescriptors>* GetPmtDescriptors() const
    {
        return m_pDescriptors.get();
    }

    // For the muxer, on its thread: the input's tables up to the change
    // marker nChange (1: those it became ready with); older sets are
    // dropped. Null when none is stored.
    std::shared_ptr<const CInputTables> TakeTables(uint32_t nChange);
    CTimedQueue& GetQueue() { return m_queue; }
    // Queue times of a live input are microseconds of the module's clock
    // times 27 (ticks); of other inputs, ticks of the input's own timeline.
    // False for the unpaced modes: every packet is due at once.
    bool IsTimed() const { return m_bTimed; }

    // Figures, from any thread.
    int64_t GetPacketsRead() const { return m_nRead.load(std::memory_order_relaxed); }
    int64_t GetDropped() const { return m_writer.GetDropped(); }
    int64_t GetCcErrors() const { return m_nCcErrors.load(std::memory_order_relaxed); }
    int64_t GetPcrCount() const { return m_nPcrs.load(std::memory_order_relaxed); }
    // Over the longest stretch of PCRs on one time base; -1 not known.
    int64_t GetBitRate() const { return m_nBitRate.load(std::memory_order_relaxed); }

private:
    void BecomeReady();
    // Before ready: whether the PMTs still missing have had their time
    // since the PAT (about a second of input).
    bool PmtWaitOver(const unsigned char* pData, int64_t nPos);
    // Reader thread, after ready: the analyzer saw the tables change at nPos.
    void OnTablesChanged(int64_t nPos);
    // A live input keeps nothing before its output begins; the first packet
    // it keeps starts every stream at its next unit.
    bool HoldsBack();
    // The first packet after the engine took the input as down.
    void Resume(int64_t nPos);
    // Queues the marker of tables change nChange at nPos; false when the
    // queue had no room for it (it is then owed).
    bool QueueChange(uint32_t nChange, int64_t nPos);
    // One packet after ready, at input position nPos (reader thread).
    void Feed(const unsigned char* pData, int64_t nPos);
    // Whether the packet's PCR paces the input; bNewBase when it starts a
    // new time base for the timeline, bJump when its own PID's PCRs jumped
    // without a signal.
    bool TakesPacePcr(int nPid, int64_t nPcr, bool bDiscontinuity, bool& bNewBase, bool& bJump);
    void StampPending(bool bExtrapolate);
    void CheckContinuity(const CTsPacket& packet, int nPid);

    std::unique_ptr<std::vector<_PROGRAM_INFO>> m_pPrograms; // filled by the analyzer
    std::unique_ptr<std::vector<CProgramDescriptors>> m_pDescriptors; // likewise, parallel
    std::unique_ptr<CPsiAnalyzer> m_pAnalyzer;
    std::unique_ptr<CPacketFifo> m_pFifo; // packets before ready, for the analysis
    CTimedQueue m_queue;                  // packets after ready, to the muxer
    CQueueWriter m_writer;                // the reader's side of m_queue
    std::atomic<bool> m_bReady{false};     // set once by the reader thread
    std::atomic<bool> m_bStreamEnd{false}; // set once by the reader thread
    std::atomic<bool> m_bAbortWait{false}; // set by any thread, read by the reader
    std::atomic<bool> m_bDown{false};        // set by the engine or source, cleared by the reader
    std::atomic<bool> m_bFeedLost{false};    // set by the source, cleared by the reader
    std::atomic<bool> m_bFeedWaiting{false}; // set by the source, read by the engine
    std::atomic<bool> m_bCaPass{false};      // set by the engine, read by the reader
    std::unique_ptr<int[]> m_pPidMap;      // output PID per input PID, -1 untranslated
    bool m_bTimed = false;                 // PCR-paced (mode 0); unpaced until told
    bool m_bLive = false;                  // set before data
    std::atomic<int> m_nGivenBitRate{-1};  // bit/s from the client; -1 none

    std::mutex m_mtxTables;                                       // guards m_vTableSets
    std::deque<std::shared_ptr<const CInputTables>> m_vTableSets; // not yet taken, oldest first

    // Reader thread only.
    CPidFilter m_filter;               // which packets go on to the muxer
    uint32_t m_nTableSets = 0;         // sequence of the last table set made
    uint32_t m_nOwedChange = 0;        // marker that found no room; 0 none
    int64_t m_nAnalyzedTo = 0;         // position from which the analyzer has not seen packets
    int64_t m_nPatAt = -1;             // position of the first PAT; -1 none yet
    int m_nWaitPcrPid = -1;            // before ready: the PID whose PCRs time the PMT wait
    int64_t m_nWaitPcr = -1;           // its last PCR, ticks
    int64_t m_nWaitTicks = 0;          // PCR time since the PAT, ticks
    std::vector<int64_t> m_vLastPcr;   // per input PID: last PCR seen, -1 none
    std::vector<uint8_t> m_vLastCc;    // per input PID: last counter, 0xFF none
    CInputTimeline m_timeline;
    CDecodingMargin m_margin;          // of the PES the queue carries
    CLiveClock m_liveClock;            // live inputs: timeline to our clock
    bool m_bReplaying = false;         // feeding what was stored before ready: no arrival times
    int64_t m_nPosition = 0;           // packets received so far
    int m_nPacePid = -1;               // the PID whose PCRs pace the input
    int64_t m_nSincePace = 0;          // ticks on another PID's clock since the pacing PCR
    int m_nSinceOtherPid = -1;         // that other PID
    int64_t m_nLastTime = 0;           // last time published, ticks
    int64_t m_nLiveFloor = 0;          // live: no time before this, ticks (set at the end)
    bool m_bNoPcrLogged = false;
    bool m_bMalformedLogged = false;
    bool m_bResumeNext = false;        // the input was down: the next packet fed resumes it

    // The reader thread (live arrivals) and GetOnePacket's thread.
    os::IClock* m_pClock;
    int64_t m_nFirstTime = -1;   // time of the first packet handed out
    int64_t m_nFirstMicros = 0;  // clock then

    std::atomic<int64_t> m_nRead{0};
    std::atomic<int64_t> m_nCcErrors{0};
    std::atomic<int64_t> m_nPcrs{0};
    std::atomic<int64_t> m_nBitRate{-1};
};
