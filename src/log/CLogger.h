#pragma once

#include "os/CCriticalSection.h"

#include <cstdarg>
#include <string>

inline constexpr int kLogDebug = 0;
inline constexpr int kLogWarning = 1;
inline constexpr int kLogError = 2;
inline constexpr int kLogReport = 3; // the PSI analyzer's report: written without a prefix
inline constexpr int kLogMaxChars = 1023; // longer messages are cut here

// Where formatted messages go; null drops them. Starts as ConsoleLogOutput.
using LogOutputFn = void (*)(int nLevel, std::string sMessage);
extern LogOutputFn LogOutput;

// Writes one line to standard output, prefixed by the level.
void ConsoleLogOutput(int nLevel, std::string sMessage);

// The process-wide logger. Created on first use and never destroyed, so
// threads may log until the process ends. Formatting and output happen under
// one lock: lines of different threads never interleave.
class CLogger
{
public:
    static CLogger* GetInstance();

    void Print(int nLevel, const char* szFormat, ...) __attribute__((format(printf, 3, 4)));
    void VPrint(int nLevel, const char* szFormat, va_list args);
    os::CCriticalSection& GetLock() { return m_lock; }

private:
    CLogger() = default;
    os::CCriticalSection m_lock; // serialises formatting and LogOutput
};

void LogPrint(int nLevel, const char* szFormat, ...) __attribute__((format(printf, 2, 3)));

// The system's own texts.
inline constexpr const char* kMsgMuxThreadExit = "Mux Thread exit";
inline constexpr const char* kMsgOutThreadExit = "Sout Thread exit";
inline constexpr const char* kMsgSourceEnd = "Reched the end of the file,source thread exit: %s ";
// "the output buffer is short", GBK
inline constexpr const char* kMsgRingFull = "\xca\xe4\xb3\xf6\xbb\xba\xb3\xe5\xb2\xbb\xd7\xe3";
