#include "CProgressLine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

void CProgressLine::Start(const std::string& sOutputPath, double fBitRate)
{
    if (m_th.joinable() || !isatty(STDERR_FILENO)) {
        return;
    }
    m_sOutputPath = sOutputPath;
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
    std::fputs("\r\033[K", stderr);
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
    struct stat st = {};
    // The sink writes through a stdio buffer, so the size trails by at most that.
    long long nBytes = stat(m_sOutputPath.c_str(), &st) == 0 ? (long long)st.st_size : 0;
    double fOutSeconds = m_fBitRate > 0 ? double(nBytes) * 8 / m_fBitRate : 0;
    std::fprintf(stderr, "\r%02lld:%02lld elapsed, %lld bytes written, %.1f s of output\033[K",
                 (long long)(nElapsed / 60), (long long)(nElapsed % 60), nBytes, fOutSeconds);
}
