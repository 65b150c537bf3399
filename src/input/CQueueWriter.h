#pragma once

#include "input/CQueueOverflow.h"
#include "input/CTimedQueue.h"
#include "io/CLoopMarker.h"
#include "os/CClock.h"

#include <atomic>
#include <cstdint>

// The reader's side of an input's queue to the muxer: where a kept packet
// goes. Where the queue is full it waits for room, or (a live input, or one
// that may not hold its reader) grows the queue while what waits in it is
// recent, else drops the packet, counted and logged per episode. A live
// input keeps nothing before its output begins. After a resume or a jump
// the first packet of each PID carries discontinuity_indicator, on an
// adaptation-only packet of its own (its counter one below) where it has no
// adaptation field. Used by the input's reader thread; BeginOutput, the
// number and the drop count from any thread. Owned by the input module.
class CQueueWriter
{
public:
    explicit CQueueWriter(CTimedQueue& queue) : m_queue(queue) {}
    CQueueWriter(const CQueueWriter&) = delete;
    CQueueWriter& operator=(const CQueueWriter&) = delete;

    // Before data.
    void SetLive(bool bLive) { m_bLive = bLive; }
    void SetDropWhenFull(bool bDrop) { m_bDropWhenFull = bDrop; }
    void SetClock(os::IClock& clock) { m_pClock = &clock; }
    // 1-based, for the log lines; 0 while the engine has not numbered it.
    void SetNumber(int nInput) { m_nNumber.store(nInput, std::memory_order_relaxed); }
    int GetNumber() const { return m_nNumber.load(std::memory_order_relaxed); }
    // The engine starts taking packets.
    void BeginOutput() { m_bOutputBegun.store(true, std::memory_order_release); }

    // Whether a live input keeps this packet back: before its output began,
    // or one stored before ready (bReplaying), which is old by now. bBegins
    // is set on the first packet it keeps.
    bool HoldsBack(bool bReplaying, bool& bBegins);
    // The next packet of every PID, or of one, carries the flag.
    void MarkAll() { m_marker.StartPass(); }
    void MarkPid(int nPid) { m_marker.MarkPid(nPid); }

    // A slot for the next entry, or null where none is left (a full queue
    // that may not wait, or one aborted). bPacket: a drop counts.
    CTimedPacket* Reserve(bool bPacket);
    // Queues a copy of the packet at input position nPos, its mark first;
    // nMargin: its decoding margin (CTimedPacket::kNoMargin none).
    void Queue(const unsigned char* pData, int64_t nPos, int32_t nMargin);

    int64_t GetDropped() const { return m_nDropped.load(std::memory_order_relaxed); }

private:
    CTimedQueue& m_queue;
    os::IClock* m_pClock = &os::CMonotonicClock::Instance(); // live queue times
    bool m_bLive = false;
    bool m_bDropWhenFull = false;
    bool m_bQueuing = false; // live: packets are kept
    CLoopMarker m_marker;
    CQueueOverflow m_overflow;
    std::atomic<bool> m_bOutputBegun{false}; // set by the engine
    std::atomic<int> m_nNumber{0};
    std::atomic<int64_t> m_nDropped{0};
};
