#pragma once

#include "input/CTimedQueue.h"
#include "mux/CSlotScheduler.h"

// The scheduler's view of an input's cross-thread queue: its consumer side.
// Made and owned by the engine, one per input, used on the driver thread.
class CQueueInput final : public CSlotScheduler::IInputQueue
{
public:
    explicit CQueueInput(CTimedQueue& queue) : m_queue(queue) {}

    CTimedPacket* Peek(int k) override { return m_queue.PeekMutable(k); }
    void Pop() override { m_queue.Pop(); }
    // The reader publishes its last packet before the end.
    bool IsEnded() override { return m_queue.IsEndPublished(); }

private:
    CTimedQueue& m_queue; // the input module's
};
