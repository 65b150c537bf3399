#pragma once

#include <atomic>
#include <thread>

namespace os {

// A thread started on an entry function with one pointer argument. The
// owner keeps the object; it is never left joinable: the destructor joins.
class COsThread
{
public:
    using Proc = unsigned long (*)(void*);

    COsThread() = default;
    ~COsThread();
    COsThread(const COsThread&) = delete;
    COsThread& operator=(const COsThread&) = delete;

    // Starts the thread at once; false when it could not be created.
    bool Start(Proc proc, void* pArg) noexcept;
    // Waits without limit; returns at once when never started or joined.
    void Join() noexcept;
    bool IsStarted() const noexcept { return m_th.joinable(); }
    // True once the entry function has returned.
    bool HasEnded() const noexcept { return m_bEnded.load(std::memory_order_acquire); }

private:
    std::thread m_th;
    std::atomic<bool> m_bEnded{false};
};

} // namespace os
