#include "log/CLogger.h"

#include "braidmill.h"

#include <cstdio>

namespace {

// Set by the client; read under the logger's lock.
BraidmillLogHandler g_pHandler = nullptr;
void* g_pHandlerUser = nullptr;

} // namespace

void SetLogHandler(BraidmillLogHandler fn, void* pUser)
{
    os::CCsGuard guard(CLogger::GetInstance()->GetLock());
    g_pHandler = fn;
    g_pHandlerUser = pUser;
}

LogOutputFn LogOutput = ConsoleLogOutput;

void ConsoleLogOutput(int nLevel, std::string sMessage)
{
    switch (nLevel) {
    case kLogDebug:
        printf("debug: %s\n", sMessage.c_str());
        break;
    case kLogWarning:
        printf("warning: %s\n", sMessage.c_str());
        break;
    case kLogError:
        printf("error: %s\n", sMessage.c_str());
        break;
    default:
        printf("%s\n", sMessage.c_str());
        break;
    }
    // Log lines are read live by people and by tests over a pipe.
    fflush(stdout);
}

CLogger* CLogger::GetInstance()
{
    // A function-local static is initialised exactly once, even when two
    // threads log first at the same time; it is never destroyed.
    static CLogger* pInstance = new CLogger;
    return pInstance;
}

void CLogger::Print(int nLevel, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    VPrint(nLevel, szFormat, args);
    va_end(args);
}

void CLogger::VPrint(int nLevel, const char* szFormat, va_list args)
{
    os::CCsGuard guard(m_lock);
    char szBuf[kLogMaxChars + 1];
    szBuf[0] = '\0';
    vsnprintf(szBuf, sizeof(szBuf), szFormat, args);
    if (g_pHandler != nullptr) {
        g_pHandler(nLevel, szBuf, g_pHandlerUser);
        return;
    }
    LogOutputFn pOutput = LogOutput;
    if (pOutput != nullptr) {
        pOutput(nLevel, std::string(szBuf));
    }
}

void LogPrint(int nLevel, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    CLogger::GetInstance()->VPrint(nLevel, szFormat, args);
    va_end(args);
}
