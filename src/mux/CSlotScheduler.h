#pragma once

#include "input/CTimedPacket.h"
#include "mux/CDelayWatch.h"
#include "mux/COutputTime.h"
#include "mux/CPcrPidChoice.h"
#include "mux/CPcrStamper.h"
#include "mux/CPesCut.h"
#include "mux/CPsiTable.h"
#include "mux/CTableCarousel.h"
#include "mux/CTableIntervals.h"
#include "mux/MuxConstants.h"
#include "ts/TsConstants.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

// Decides what every output slot carries, in output time. No threads, no
// I/O, no clock of its own: a driver asks for slots and writes them when it
// is time, so a test can step it slot by slot. Per slot, in this order: a PCR
// where a PCR PID's gap would grow too long (its own next PCR when it is
// queued and due, taken ahead of its input's packets of other PIDs; else a
// PCR-only packet); then, of the tables and the inputs' packets whose time
// has come, what fell due first; else a null packet.
//
// Every packet of an input is due at its time on the input's timeline plus
// one constant offset for that input, fixed by its first packet; so the
// delay through the muxer is the same for every packet of a program and its
// PTS-PCR relation is kept to within the lateness the slots force. That
// lateness is judged per program against its decoding margin (CDelayWatch).
// Every PCR that leaves is restamped; a program's PCRs move to a stream of
// its own where its PCR_PID carries none (CPcrPidChoice).
class CSlotScheduler
{
public:
    // What the scheduler sees of an input: its queue's consumer side. The
    // real one is the input's cross-thread queue (CQueueInput); a test's
    // is a vector. Called on the scheduler's thread only.
    class IInputQueue
    {
    public:
        // The k-th entry from the head (0: the head), null when not queued
        // yet. The scheduler may send one ahead of its turn: it sets bTaken
        // and skips the entry (clearing the flag) when it reaches the head.
        virtual CTimedPacket* Peek(int k) = 0;
        virtual void Pop() = 0;
        // Nothing more will be queued (what is queued stays to be read).
        virtual bool IsEnded() = 0;

    protected:
        ~IInputQueue() = default;
    };
    // One input, as its owner hands it over. The queue and the PID map are
    // not owned; the map is read on this thread only.
    struct CInput
    {
        IInputQueue* pQueue = nullptr;
        const int* pPidMap = nullptr; // output PID per input PID, -1 none
        bool bTimed = true;           // false: every packet due at once
        bool bWaitFor = true;         // an empty queue holds the slots until data or the end
        bool bLive = false;           // times are our clock's ticks (SetLocalStart), not its own
        std::vector<int> vPcrPids;    // its output PCR PIDs
    };
    // What a FillSlots call did, and why it stopped early where it did.
    struct CFill
    {
        int nFilled = 0;
        // An input's table-change marker reached its queue's head (nChange:
        // its sequence; 0 none). The owner applies the change (the tables,
        // SetProgram, the PCR PIDs) before it calls again: the input's
        // packet after the marker is not taken before.
        int nChangeInput = -1;
        uint32_t nChange = 0;
        // A program's PCRs moved to another of its PIDs (nPcrProgram -1:
        // none); its tables are to name the PID from here on.
        int nPcrProgram = -1;
        int nPcrFromPid = kPidNull;
        int nPcrToPid = kPidNull;

        bool IsChange() const { return nChange != 0 || nPcrProgram >= 0; }
    };
    struct CInputStats
    {
        int64_t nMuxed = 0;
        int64_t nLate = 0;         // left too late for their decoders
        int64_t nMaxLateSlots = 0; // the largest delay past a due slot
    };

    // nGuardSlots: the decoding margin a packet's delay must leave, and the
    // delay allowed a program whose margin is not known. intervals: how
    // often each kind of table repeats.
    CSlotScheduler(int64_t nBitsPerSecond, std::vector<CPsiTable> vTables, int64_t nGuardSlots,
                   const CTableIntervals& intervals = CTableIntervals());

    void AddInput(const CInput& input);
    // Our clock (microseconds) when slot 0 leaves, for live inputs: a live
    // packet is due kLiveDelayMs after the time it was stamped with.
    void SetLocalStart(int64_t nMicros) { m_nLocalStartTicks = nMicros * (kPcrHz / 1'000'000); }
    // Output PID -> output program, for the per-program figures.
    void MapProgramPid(int nPid, int nProgram);
    // Output program nProgram: its number (for the log) and the PCR PID its
    // tables name (kPidNull: none), from GetChangeSlot on.
    void SetProgram(int nProgram, int nNumber, int nPcrPid);
    // The new table set. The new set leads what the input sends after the
    // change, late or not.
    void ReplaceTables(std::vector<CPsiTable> vTables)
    {
        m_carousel.SetTables(std::move(vTables), GetChangeSlot());
        m_nTablesFirstUntil = m_carousel.GetPacketsSent() + m_carousel.GetSetPacketCount();
    }
    // A PCR PID taken up, or one that is no program's any more (PCRs it
    // still carries are restamped, nothing is inserted).
    void AddPcrPid(int nPid) { m_pcr.AddPid(nPid); }
    void EndPcrPid(int nPid) { m_pcr.SetInsert(nPid, false); }
    // The output PCR PIDs of input i from now on.
    void SetInputPcrPids(size_t i, const std::vector<int>& vPids);
    // The run ends before nEndSlot: each stream stops after its last PES
    // that leaves whole before it (CPesCut).
    void SetEndSlot(int64_t nEndSlot) { m_cut.SetEnd(nEndSlot, m_time.SlotsIn(kPesCutLookMs)); }
    // Input i is down (stalled, silent, or not ready yet): the slots no
    // longer wait for it. Its next packet is due kLiveDelayMs from then, the
    // rest at their spacing after it: a new start, as after a discontinuity.
    void SetInputDown(size_t i);

    // Fills up to nCount slots from the next one on (188 * nCount bytes at
    // pOut). Stops early where a waited-for input has nothing queued yet
    // (GetStarvedInput), when every input has ended (IsFinished), or at a
    // change the owner is to apply (CFill). The tables, programs and PCR
    // PIDs set between such a stop and the next call take effect from the
    // slot where the change came (GetChangeSlot); the next call goes on
    // from there (with the slot after a change that came with a packet).
    CFill FillSlots(int nCount, uint8_t* pOut);
    // Where changes set now take effect: the slot a stop's change came in,
    // else the next slot.
    int64_t GetChangeSlot() const { return m_bChangePending ? m_nChangeSlot : m_nNext; }
    int64_t GetNextSlot() const { return m_nNext; }
    bool IsFinished() const { return m_nLive == 0; }
    int GetStarvedInput() const { return m_nStarved; } // -1 none
    const COutputTime& GetTime() const { return m_time; }

    // Figures.
    const std::vector<CInputStats>& GetInputStats() const { return m_vStats; }
    int64_t GetNullSlots() const { return m_nNullSlots; }
    int64_t GetTableSlots() const { return m_nTableSlots; }
    const CPcrStamper& GetPcrStamper() const { return m_pcr; }
    int64_t GetProgramPackets(int nProgram) const
    {
        return size_t(nProgram) < m_vProgramPackets.size() ? m_vProgramPackets[size_t(nProgram)]
                                                           : 0;
    }
    // Delay, margin and late packets of a program; null before its first packet.
    const CDelayWatch::CProgram* GetProgramDelay(int nProgram) const
    {
        return m_delay.Find(nProgram);
    }
    // The slot content starts from: after the first complete set of tables.
    int64_t GetStartSlot() const { return m_nStartSlot; }

private:
    struct CInputState
    {
        CInput in;
        int64_t nFirstTime = -1; // time of its first packet; -1 none yet
        int64_t nBaseSlot = 0;   // due slot of that packet: the start slot, or where it restarted
        int64_t nLiveShift = 0;  // live: ticks from a packet's time to when it is due
        int64_t nHeadSlot = 0;   // due slot of the queue's head
        int64_t nLateLogged = -1; // slot of the last line about its late packets
        CTimedPacket* pHead = nullptr; // the queue's head while bHasHead
        int64_t nPopSlot = -1;         // slot its last packet left in; -1 none yet
        bool bHasHead = false;
        bool bDrained = false;
        bool bDown = false; // not waited for; restarts at its next packet
    };

    // Looks at input i's head: its due slot, or that it drained or starved.
    // False when it stopped at a table change (in m_fill).
    bool RefreshHead(size_t i);
    // The slot a packet of input i is due (the input's first sets its offset).
    int64_t DueSlotOf(size_t i, const CTimedPacket& packet);
    // The input whose head leaves at nSlot; -1 none. Sets m_nStarved.
    int PickInput(int64_t nSlot);
    void TakeFrom(size_t i, int64_t nSlot, uint8_t* pOut);
    // Writes a packet of input i, due at nDueSlot, into slot nSlot.
    void Emit(size_t i, const CTimedPacket& packet, int64_t nDueSlot, int64_t nSlot,
              uint8_t* pOut);
    // A PCR due on a PID: its own next PCR when that is queued and due by
    // then, else a PCR-only packet. False when none is due.
    bool TakePcr(int64_t nSlot, uint8_t* pOut);
    // Where in input i's queue the next packet of nPid is, when it carries
    // a PCR and is due by nLimit and no table change comes before it; -1
    // otherwise. Packets of other PIDs may be passed, never one of nPid.
    int FindOwnPcr(size_t i, int nPid, int64_t nLimit);
    // Whether the PES that starts at entry k of input i's queue (output PID
    // nOutPid) leaves whole before the end, when the end is near; records it.
    CPesCut::EWhole JudgePes(size_t i, int k, const CTimedPacket& packet, int nOutPid);
    // A content PCR on nPid (of program nProgram, -1 none) leaves in nSlot.
    void NoteContentPcr(size_t i, int nProgram, int nPid, int64_t nSlot);
    void NoteDelay(size_t i, int nProgram, int32_t nMargin, int64_t nDelay, int64_t nSlot);

    COutputTime m_time;
    CTableCarousel m_carousel;
    CPcrStamper m_pcr;
    CDelayWatch m_delay;
    CPcrPidChoice m_choice;
    CPesCut m_cut;
    int64_t m_nLateNearEnd = 0; // most slots a packet left late in the stretch the cut looks at
    int64_t m_nStartSlot;
    int64_t m_nNext = 0;            // the next slot to fill
    int64_t m_nLocalStartTicks = 0; // our clock at slot 0, ticks
    std::vector<CInputState> m_vInputs;
    std::vector<CInputStats> m_vStats;
    std::vector<int> m_vProgramOf;          // per output PID: program index, -1 none
    std::vector<int> m_vPcrInput;           // per output PCR PID: its input, -1 none
    std::vector<int> m_vProgramNumber;      // per program index, for the log
    int64_t m_nTableWaitSlots;              // how long a due table waits for late content
    int64_t m_nTablesFirstUntil = 0;        // carousel packets sent before a new set stops leading
    std::vector<int64_t> m_vProgramPackets; // per program
    CFill m_fill;                           // what the current FillSlots call met
    int64_t m_nChangeSlot = 0;              // the slot the last change came in
    bool m_bChangePending = false;          // a call stopped at a change; the next clears it
    int m_nResumeInput = -1;                // its head is looked at again before the next slot
    int m_nLive = 0;                        // inputs not drained
    int m_nStarved = -1;
    int64_t m_nNullSlots = 0;
    int64_t m_nTableSlots = 0;
};
