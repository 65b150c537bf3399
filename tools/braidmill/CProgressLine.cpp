#include "CProgressLine.h"

#include "CConsole.h"

#include <cstdio>

void CProgressLine::Start(std::function<long long()> fnBytes, double fBitRate)
{
    if (m_th.joinable() || !m_console.ShowsProgress()) {
        return;
    }
    m_fnBytes = std::move(fnBytes);
    m_fBitRate = fBitRate;
    m_tStart = std::chrono::steady_clock::now();
    m_bStop = false;
    m_th = std::thread(&CProgressLine::Loop, this);
}

void CProgressLine::Stop()
{
    if (!m_th.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bStop = true;
    }
    m_cv.notify_all();
    m_th.join();
    m_console.ClearStatus();
}

void CProgressLine::Loop()
{
    std::unique_lock<std::mutex> lock(m_mtx);
    while (!m_cv.wait_for(lock, std::chrono::milliseconds(500), [this] { return m_bStop; })) {
        Draw();
    }
}

void CProgressLine::Draw()
{
    auto nElapsed = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::steady_clock::now() - m_tStart)
                        .count();
    const long long nBytes = m_fnBytes ? m_fnBytes() : 0;
    const double fOutSeconds = m_fBitRate > 0 ? double(nBytes) * 8 / m_fBitRate : 0;
    char szLine[128];
    std::snprintf(szLine, sizeof szLine,
                  "%02lld:%02lld elapsed, %lld bytes written, %.1f s of output",
                  (long long)(nElapsed / 60), (long long)(nElapsed % 60), nBytes, fOutSeconds);
    m_console.SetStatus(szLine);
}
