#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Which inputs are up, judged on the engine's driver thread in real time
// from what their readers hand over. A live input, or one whose reader waits
// for data, is down once its reader has handed over nothing for the input
// timeout while nothing of it is queued, or at once when its source says its
// feed is lost; it is back with its next packet. A file's reader never waits
// for data: however long it takes, it is waited for, so that real time gives
// the bytes output time gives. A waited-for input whose queue is empty while its reader waits for
// data that has not come (an empty pipe) is stalled after a short grace: the
// output stops waiting for it, and it comes back as after an outage. An
// input that was not ready at the start joins with its first packet. Owned
// by the engine; no lock.
class CInputWatch
{
public:
    // What the engine sees of one input at one look.
    struct CLook
    {
        int64_t nRead = 0;        // packets its reader has handed over
        bool bQueued = false;     // packets of it wait to be taken
        bool bStarved = false;    // the output waits for it
        bool bWaiting = false;    // its reader waits for data
        bool bLive = false;       // it comes in real time: silence is an outage
        bool bSourceDown = false; // its source says the feed is lost
        bool bReady = true;       // its programs are known
        bool bEnded = false;      // its stream ended: nothing more to judge
    };
    enum class EChange
    {
        kNone,
        kStalled, // the output goes on without it (not worth a line yet)
        kDown,    // silent for the timeout, or lost: said once
        kBack,    // sending again after kDown
        kJoined,  // an input not ready at the start found its programs
    };

    CInputWatch(int64_t nTimeoutMicros, int64_t nGraceMicros)
        : m_nTimeout(nTimeoutMicros), m_nGrace(nGraceMicros)
    {
    }
    // bJoining: not ready at the start; down until it is.
    void AddInput(bool bJoining);
    // One look at input i at nNowMicros.
    EChange Look(size_t i, const CLook& look, int64_t nNowMicros);
    // How long input i was down or away when it came back, microseconds.
    int64_t GetAwayMicros(size_t i) const { return m_vInputs[i].nAway; }
    int64_t GetTimeoutMicros() const { return m_nTimeout; }

private:
    enum class EState
    {
        kUp,
        kStalled,
        kDown,
        kJoining,
    };
    struct CInput
    {
        EState state = EState::kUp;
        int64_t nRead = -1;       // packets handed over at the last look; -1 none yet
        int64_t nSince = -1;      // when the reader last handed over something, micros
        int64_t nWaitSince = -1;  // since when it waits with nothing queued; -1 not
        int64_t nAway = 0;        // the last outage, micros
    };

    int64_t m_nTimeout; // micros without a packet that make an input down
    int64_t m_nGrace;   // micros a waited-for reader may wait for data before the output goes on
    std::vector<CInput> m_vInputs;
};
