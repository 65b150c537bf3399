#include "os/COsThread.h"

#include <system_error>

namespace os {

COsThread::~COsThread()
{
    Join();
}

bool COsThread::Start(Proc proc, void* pArg) noexcept
{
    if (m_th.joinable()) {
        return false;
    }
    m_bEnded.store(false, std::memory_order_relaxed);
    try {
        m_th = std::thread([this, proc, pArg] {
            proc(pArg);
            m_bEnded.store(true, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void COsThread::Join() noexcept
{
    if (m_th.joinable() && m_th.get_id() != std::this_thread::get_id()) {
        m_th.join();
    }
}

} // namespace os
