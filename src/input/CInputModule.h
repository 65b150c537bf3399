#pragma once

#include "braidmill.h"
#include "input/CInputAnalysis.h"
#include "input/CInputTables.h"
#include "input/CPacketPath.h"
#include "input/CPacketTiming.h"
#include "input/CPsiAnalyzer.h"
#include "input/CQueueWriter.h"
#include "input/CTableFollower.h"
#include "input/CTimedQueue.h"
#include "os/CClock.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// One input of the multiplex, behind CInputModuleIface: the owner of its
// parts, which it wires together. The reader thread stores packets
// (RecvOnePacket, StreamEnd): until the programs are known they go to the
// analysis (CInputAnalysis), which stores them; once they are, what was
// stored and every packet after goes through the packet path (CPacketPath),
// which keeps the programs' packets and queues them, timed by CPacketTiming,
// for the muxer; the tables are followed (CTableFollower) for as long as
// the input runs. The muxer takes the queue (GetQueue) and the tables at
// each change marker (TakeTables); a client may drain the input itself
// instead (GetOnePacket).
//
// The program list the client reads is the table set the input became
// ready with, written by the reader thread before m_bReady is published
// (release) and never after. The PID map is written by the engine before it
// starts taking packets and read on the consumer's thread only.
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
    // The programs the input became ready with; empty before.
    std::vector<_PROGRAM_INFO>* GetDemuxInfo() { return &m_tables.GetReadyTables().vPrograms; }
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
    void AbortWait() { m_queue.Abort(); }
    // The clock GetOnePacket paces against.
    void SetClock(os::IClock& clock)
    {
        m_pClock = &clock;
        m_writer.SetClock(clock);
        m_timing.SetClock(clock);
    }
    void SetBitRate(int nBitsPerSecond) { m_timing.SetGivenBitRate(nBitsPerSecond); }
    // The input arrives in real time (before data): its packets are timed on
    // the clock of SetClock, recovered from its PCRs against their arrival;
    // a full queue drops instead of holding the reader.
    void SetLive(bool bLive)
    {
        m_timing.SetLive(bLive);
        m_writer.SetLive(bLive);
    }
    bool IsLive() const { return m_timing.IsLive(); }
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
    void SetFeedWaiting(bool bWaiting)
    {
        m_bFeedWaiting.store(bWaiting, std::memory_order_relaxed);
    }
    bool IsFeedWaiting() const { return m_bFeedWaiting.load(std::memory_order_relaxed); }
    // Its ECM and EMM PIDs go on to the muxer (any thread; the reader
    // follows from its next packet on).
    void SetCaPass(bool bPass) { m_path.SetCaPass(bPass); }
    // The input's number in the engine, 1-based, for the log lines.
    void SetNumber(int nInput) { m_writer.SetNumber(nInput); }
    // Before data: the programs of the input that go on (empty: all).
    void ChoosePrograms(std::vector<int> vNumbers)
    {
        m_analyzer.ChoosePrograms(std::move(vNumbers));
    }
    // Of the input's first packets after ready (any thread): see CPacketPath.
    double GetKeptShare() const
    {
        return m_path.GetKeptShare(m_bStreamEnd.load(std::memory_order_acquire));
    }
    // The tables the input became ready with (programs, their descriptors,
    // services); for the engine, once the input is ready.
    const CInputTables& GetReadyTables() const { return m_tables.GetReadyTables(); }

    // For the muxer, on its thread: the input's tables up to the change
    // marker nChange (1: those it became ready with); older sets are
    // dropped. Null when none is stored.
    std::shared_ptr<const CInputTables> TakeTables(uint32_t nChange)
    {
        return m_tables.TakeTables(nChange);
    }
    CTimedQueue& GetQueue() { return m_queue; }
    // Queue times of a live input are microseconds of the module's clock
    // times 27 (ticks); of other inputs, ticks of the input's own timeline.
    // False for the unpaced modes: every packet is due at once.
    bool IsTimed() const { return m_timing.IsTimed(); }

    // Figures, from any thread.
    int64_t GetPacketsRead() const { return m_nRead.load(std::memory_order_relaxed); }
    int64_t GetDropped() const { return m_writer.GetDropped(); }
    int64_t GetCcErrors() const { return m_path.GetCcErrors(); }
    int64_t GetPcrCount() const { return m_timing.GetPcrCount(); }
    // Over the longest stretch of PCRs on one time base; -1 not known.
    int64_t GetBitRate() const { return m_timing.GetBitRate(); }

private:
    void BecomeReady();

    // In the order they are built: each takes references to those above.
    CPsiAnalyzer m_analyzer;   // before and after ready
    CInputAnalysis m_analysis; // before ready
    CTimedQueue m_queue;       // packets after ready, to the muxer
    CQueueWriter m_writer;     // the reader's side of m_queue
    CPacketTiming m_timing;
    CTableFollower m_tables;
    CPacketPath m_path;

    std::atomic<bool> m_bReady{false};       // set once by the reader thread
    std::atomic<bool> m_bStreamEnd{false};   // set once by the reader thread
    std::atomic<bool> m_bDown{false};        // set by the engine or source, cleared by the reader
    std::atomic<bool> m_bFeedLost{false};    // set by the source, cleared by the reader
    std::atomic<bool> m_bFeedWaiting{false}; // set by the source, read by the engine
    std::unique_ptr<int[]> m_pPidMap;        // output PID per input PID, -1 untranslated
    int64_t m_nPosition = 0;                 // packets received so far (reader thread)

    // GetOnePacket's thread.
    os::IClock* m_pClock;
    int64_t m_nFirstTime = -1;  // time of the first packet handed out
    int64_t m_nFirstMicros = 0; // clock then

    std::atomic<int64_t> m_nRead{0};
};
