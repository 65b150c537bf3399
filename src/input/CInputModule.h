#pragma once

#include "braidmill.h"
#include "input/CProgramDescriptors.h"
#include "os/CClock.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CCalcPcrN1;
class CNoPacer;
class CPacketFifo;
class CPcrPacer;
class CPsiAnalyzer;
class CTsPacket;

// One input of the multiplex, behind CInputModuleIface. The reader thread
// stores packets (RecvOnePacket, StreamEnd) and, until the programs are
// known, runs an analysis pass per packet; the mux thread then takes the
// packets of the input's programs out (GetOnePacket, ReleaseBuffer,
// IsStreamEnd), rewritten to their output PIDs, paced by the input's own
// PCRs and with their PTS/DTS relative to the program clock.
//
// Everything the mux thread reads (program list, calculators, PID kinds) is
// written by the reader thread before m_bReady is published (release) and
// never after. The PID map is written by the engine before it lets the mux
// thread gather; entries are whole ints. Owns everything it points to.
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
    unsigned char* GetOnePacket(long long& llPtsDelta, long long& llDtsDelta, int& nPcrPid);
    void ReleaseBuffer(unsigned char* pPacket);
    bool IsStreamEnd() const;

    // The stream has ended while its programs are still unknown.
    bool CanNeverBeReady() const;
    // From now on a RecvOnePacket that finds the FIFO full drops its packet
    // instead of waiting for room.
    void AbortWait();
    // The clock the PCR pacing runs against (before data arrives).
    void SetClock(os::IClock& clock);
    void SetBitRate(int nBitsPerSecond) { m_nGivenBitRate = nBitsPerSecond; }
    // The PMT descriptors of each program, parallel to GetDemuxInfo; for the
    // engine, once the input is ready.
    const std::vector<CProgramDescriptors>* GetPmtDescriptors() const
    {
        return m_pDescriptors.get();
    }

    // For the engine's output-time mode, on the thread that calls
    // GetOnePacket. Why the last GetOnePacket gave nothing:
    enum class EMiss : uint8_t {
        kNone,     // it gave a packet
        kNotReady, // the programs are not known yet
        kHeldBack, // the PCR pacer holds the input back
        kEmpty     // the FIFO ran empty
    };
    EMiss GetLastMiss() const { return m_eLastMiss; }
    // Clock time, microseconds, from which a held-back input is due; -1 none.
    int64_t GetDueMicros() const;
    bool HasStoredPacket() const;
    // Blocks until a packet is stored, the stream has ended or nMaxMs passed.
    void WaitForData(unsigned nMaxMs);
    // A reader that finds the FIFO full is woken once the consumer has
    // freed a batch of slots, instead of retrying every 5 ms: a consumer
    // faster than real time would otherwise wait on the reader's sleep.
    void SetRoomWakeups(bool bOn) { m_bRoomWakeups.store(bOn, std::memory_order_release); }

private:
    void NotifyData();
    void WaitForRoom(unsigned nMaxMs);

    // One PCR PID of the input: its calculator and what pacing needs.
    struct CPcrTrack
    {
        int nPid = 0;
        std::unique_ptr<CCalcPcrN1> pCalc; // learns the input's rate on this PID
        int64_t nLastPcr = -1;             // 27 MHz ticks
        int64_t nSincePace = 0;            // this clock's ticks since the pacing PID's last PCR
    };
    // What one packet taken out did to its PCR PID.
    struct CPcrEvent
    {
        int nTrack = -1; // index into m_vPcrTracks; -1: no PCR
        int64_t nPcr = -1;
        int64_t nPrevPcr = -1;       // the PID's PCR before this one
        bool bDiscontinuity = false; // signalled, or a jump
        bool bUnsignalledJump = false;
    };

    void CreatePcrCalcs();
    bool IsHeldBack();
    CPcrEvent UpdatePcrCalcs(const CTsPacket& packet, int nPid);
    void GetPacketTiming(const CTsPacket& packet, int nPid, long long& llPts, long long& llDts,
                         int& nPcrPid) const;
    void FeedPcrPacer(CTsPacket& packet, const CPcrEvent& event);

    std::unique_ptr<CPcrPacer> m_pPcrPacer;                  // timing mode 0
    std::unique_ptr<CNoPacer> m_pNoPacer;                    // timing mode 1
    std::unique_ptr<std::vector<_PROGRAM_INFO>> m_pPrograms; // filled by the analyzer
    std::unique_ptr<std::vector<CProgramDescriptors>> m_pDescriptors; // likewise, parallel
    std::unique_ptr<CPsiAnalyzer> m_pAnalyzer;
    std::unique_ptr<CPacketFifo> m_pFifo;
    std::atomic<bool> m_bReady{false};     // set once by the reader thread
    std::atomic<bool> m_bStreamEnd{false}; // set once by the reader thread
    std::atomic<bool> m_bAbortWait{false}; // set by any thread, read by the reader
    std::unique_ptr<int[]> m_pPidMap;      // output PID per input PID, -1 untranslated

    std::vector<CPcrTrack> m_vPcrTracks; // ascending PID
    std::vector<int> m_vProgramTrack;    // per program: its PCR PID's track, -1 none
    std::vector<uint8_t> m_vPidKind;     // per input PID: foreign, stream or PCR
    int m_nPaceTrack = -1;               // the track whose PCRs pace the input
    os::IClock* m_pClock;                // for the pacer
    EMiss m_eLastMiss = EMiss::kNone;    // GetOnePacket's thread only
    int m_nGivenBitRate = -1;            // bit/s, from the client; -1 none

    // A consumer waiting for the reader (output-time mode). The reader looks
    // at the flag after each packet and takes the mutex only when it is set.
    std::mutex m_mtxData;                   // guards the waits on m_cvData
    std::condition_variable m_cvData;       // a packet stored, or the end
    std::atomic<bool> m_bDataWaiter{false}; // someone waits on m_cvData
    std::atomic<bool> m_bRoomWakeups{false}; // see SetRoomWakeups
    std::atomic<bool> m_bRoomWaiter{false};  // the reader waits on m_cvData for room
    std::atomic<int> m_nRoomFreed{0};        // slots freed while it waits
};
