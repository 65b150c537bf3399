#include "input/CQueueOverflow.h"

#include "input/CTimedQueue.h"
#include "log/CLogger.h"
#include "mux/MuxConstants.h"

namespace {

// A live packet waits kLiveDelayMs in the queue; a second more leaves room
// for a muxer held up by a busy machine before its packets count as too old
// to keep.
constexpr int64_t kLiveKeepTicks = (kLiveDelayMs + 1000) * (kPcrHz / 1000);
constexpr int kEpisodeLogLimit = 10; // episodes logged; later ones are only counted

} // namespace

bool CQueueOverflow::TryGrow(CTimedQueue& queue, int64_t nNowTicks)
{
    if (queue.GetCapacity() >= queue.GetMaxCapacity()) {
        return false;
    }
    // What is published carries its time; a queue of pending packets only
    // (no PCR yet) holds what just came.
    int64_t nOldest = 0;
    if (queue.GetOldestTime(nOldest) && nNowTicks - nOldest > kLiveKeepTicks) {
        return false; // the muxer is behind: more room would only hold late packets
    }
    return queue.Grow(queue.GetCapacity() * 2);
}

void CQueueOverflow::NoteDrop(CTimedQueue& queue, int nInput)
{
    ++m_nEpisodeDrops;
    if (m_bEpisode) {
        return;
    }
    m_bEpisode = true;
    m_nEpisodeDrops = 1;
    if (++m_nEpisodes <= kEpisodeLogLimit) {
        LogPrint(kLogError, "input %d: its queue is full (%d packets); packets dropped", nInput,
                 queue.GetCapacity());
    }
}

void CQueueOverflow::EndEpisodeIfRoom(CTimedQueue& queue, int nInput)
{
    // Half empty, so that a queue at its limit drops in one episode, not in
    // one per packet.
    if (queue.GetFill() * 2 > queue.GetCapacity()) {
        return;
    }
    m_bEpisode = false;
    if (m_nEpisodes <= kEpisodeLogLimit) {
        LogPrint(kLogWarning, "input %d: %lld packets dropped; its queue has room again", nInput,
                 static_cast<long long>(m_nEpisodeDrops));
    }
}
