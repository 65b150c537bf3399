#include "os/CSrtLibrary.h"

#include "log/CLogger.h"

#include <srt.h>

#include <cstring>
#include <mutex>
#include <string>

namespace os {

namespace {

std::mutex g_mtxUsers; // guards g_nUsers and the startup and cleanup calls
int g_nUsers = 0;      // started uses alive

// The library's own lines go through the logger as debug lines: what a
// user needs (a peer gone, a call refused) the sources and sinks say
// themselves, once per episode.
void ForwardLog(void*, int, const char*, int, const char*, const char* szMessage) noexcept
{
    std::string sLine(szMessage != nullptr ? szMessage : "");
    while (!sLine.empty() && (sLine.back() == '\n' || sLine.back() == '\r')) {
        sLine.pop_back();
    }
    LogPrint(kLogDebug, "SRT: %s", sLine.c_str());
}

} // namespace

CSrtLibrary::CSrtLibrary()
{
    std::lock_guard<std::mutex> guard(g_mtxUsers);
    if (g_nUsers == 0) {
        srt_setloghandler(nullptr, &ForwardLog);
        srt_setlogflags(SRT_LOGF_DISABLE_TIME | SRT_LOGF_DISABLE_THREADNAME |
                        SRT_LOGF_DISABLE_SEVERITY | SRT_LOGF_DISABLE_EOL);
        srt_setloglevel(LOG_WARNING);
        if (srt_startup() < 0) {
            LogPrint(kLogError, "SRT library could not be started: %s", srt_getlasterror_str());
            return;
        }
    }
    ++g_nUsers;
    m_bStarted = true;
}

CSrtLibrary::~CSrtLibrary()
{
    std::lock_guard<std::mutex> guard(g_mtxUsers);
    if (!m_bStarted) {
        return;
    }
    if (--g_nUsers == 0) {
        srt_cleanup(); // joins the library's threads
    }
}

int CSrtLibrary::GetUsers()
{
    std::lock_guard<std::mutex> guard(g_mtxUsers);
    return g_nUsers;
}

} // namespace os
