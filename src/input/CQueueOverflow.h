#pragma once

#include <cstdint>

class CTimedQueue;

// What an input does with a packet that finds its queue full, and the log of
// what it drops. A live input's queue grows while the oldest packet in it
// arrived less than its delay through the muxer and a second ago (a muxer
// held up that long loses nothing), so the limit follows the input's rate as
// it arrives and memory follows what is queued. Past that, or for an input that may not grow, the packet is
// dropped: an episode of drops is logged when it starts, naming the input,
// and again with its count when it ends (once the queue is half empty), the
// first kEpisodeLogLimit of them. Used by the input's reader thread alone.
class CQueueOverflow
{
public:
    // Live input, queue times in our clock's ticks: true when the queue grew
    // and the packet may try again.
    static bool TryGrow(CTimedQueue& queue, int64_t nNowTicks);
    // A packet found no room and was dropped. nInput names the input in the
    // log (1-based; 0 while the engine has not numbered it).
    void NoteDrop(CTimedQueue& queue, int nInput);
    // A packet was queued.
    void NoteQueued(CTimedQueue& queue, int nInput)
    {
        if (m_bEpisode) {
            EndEpisodeIfRoom(queue, nInput);
        }
    }
    bool IsInEpisode() const { return m_bEpisode; }
    int GetEpisodeCount() const { return m_nEpisodes; }

private:
    void EndEpisodeIfRoom(CTimedQueue& queue, int nInput);

    bool m_bEpisode = false;
    int64_t m_nEpisodeDrops = 0; // packets dropped in the current episode
    int m_nEpisodes = 0;
};
