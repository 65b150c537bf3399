#pragma once

#include <mutex>

namespace os {

// A recursive in-process lock. lock()/unlock() make it usable with
// std::lock_guard; CCsGuard is the house spelling of that guard.
class CCriticalSection
{
public:
    void Enter() { m_mtx.lock(); }
    void Leave() { m_mtx.unlock(); }
    void lock() { m_mtx.lock(); }
    void unlock() { m_mtx.unlock(); }

private:
    std::recursive_mutex m_mtx;
};

using CCsGuard = std::lock_guard<CCriticalSection>;

} // namespace os
