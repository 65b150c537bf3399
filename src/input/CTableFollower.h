#pragma once

#include "braidmill.h"
#include "input/CInputTables.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class CPsiAnalyzer;
class CQueueWriter;
class CTimedQueue;

// Follows an input's tables once it is ready. Each time they change it
// stores the new set for the muxer and queues a marker where the change
// happened, so that the muxer meets the change in order with the packets;
// the set the input became ready with gets a marker too, ahead of every
// packet, for an engine that takes the input up late. A marker that finds
// no room in the queue is owed: the next packet kept pays it, and sets made
// meanwhile are never asked for on their own. The set the input became
// ready with is also its program list (GetDemuxInfo), one list for both.
// Used by the input's reader thread; TakeTables by the muxer's, under
// m_mtxSets. Owned by the input module.
class CTableFollower
{
public:
    CTableFollower(CPsiAnalyzer& analyzer, CQueueWriter& writer, CTimedQueue& queue);
    CTableFollower(const CTableFollower&) = delete;
    CTableFollower& operator=(const CTableFollower&) = delete;

    // Once, as the input becomes ready: its tables as they stand are set 1,
    // and packets from input position nFrom on are followed.
    const CInputTables& TakeUp(int64_t nFrom);
    // The set the input became ready with; empty before. Written by the
    // reader thread once, before the input is published ready.
    CInputTables& GetReadyTables() { return *m_pReady; }
    const CInputTables& GetReadyTables() const { return *m_pReady; }

    // A synchronised packet of PID nPid at nPos: the new set when it
    // changed the tables (stored; its marker is the caller's to queue with
    // Mark), else null.
    std::shared_ptr<const CInputTables> Follow(const unsigned char* pData, int nPid, int64_t nPos);
    // Queues the marker of the newest set at nPos; bHeldBack: the queue
    // takes nothing now (a live input before its output began), so it is
    // owed. False when owed.
    bool Mark(int64_t nPos, bool bHeldBack);
    // A packet at nPos is kept: an owed marker goes ahead of it.
    void PayOwed(int64_t nPos)
    {
        if (m_nOwedChange != 0) {
            QueueChange(m_nOwedChange, nPos, false);
        }
    }
    bool IsOwed() const { return m_nOwedChange != 0; }

    // For the muxer, on its thread: the tables up to the change marker
    // nChange (1: those it became ready with); older sets are dropped.
    // Null when none is stored.
    std::shared_ptr<const CInputTables> TakeTables(uint32_t nChange);

private:
    bool QueueChange(uint32_t nChange, int64_t nPos, bool bHeldBack);

    CPsiAnalyzer& m_analyzer;
    CQueueWriter& m_writer;
    CTimedQueue& m_queue;
    std::shared_ptr<CInputTables> m_pReady; // set 1, from construction on

    std::mutex m_mtxSets;                                    // guards m_vSets
    std::deque<std::shared_ptr<const CInputTables>> m_vSets; // not yet taken, oldest first

    // Reader thread only.
    int64_t m_nFrom = INT64_MAX; // position from which table packets are followed
    uint32_t m_nSets = 0;        // sequence of the last set made
    uint32_t m_nOwedChange = 0;  // marker that found no room; 0 none
};
