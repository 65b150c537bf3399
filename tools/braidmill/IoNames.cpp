#include "IoNames.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool StartsWith(const char* name, const char* prefix)
{
    return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

bool IsPipe(const char* name)
{
    struct stat st = {};
    return stat(name, &st) == 0 && S_ISFIFO(st.st_mode);
}

} // namespace

bool IsStdName(const char* name)
{
    return name != nullptr && std::strcmp(name, "-") == 0;
}

bool IsSrtName(const char* name)
{
    return name != nullptr && StartsWith(name, "srt://");
}

bool IsSameFileAsFd(const char* name, int fd)
{
    struct stat path = {};
    struct stat open = {};
    return name != nullptr && stat(name, &path) == 0 && fstat(fd, &open) == 0 &&
           path.st_dev == open.st_dev && path.st_ino == open.st_ino;
}

bool IsStdoutName(const char* name)
{
    // Opened by its name, standard output would be written at two offsets
    // (or truncated under the other) while the lines still go to it.
    return IsStdName(name) || IsSameFileAsFd(name, STDOUT_FILENO);
}

bool IsNetworkName(const char* name)
{
    return name != nullptr &&
           (StartsWith(name, "udp://") || StartsWith(name, "rtp://") || IsSrtName(name));
}

bool IsStreamName(const char* name)
{
    return IsStdName(name) || IsNetworkName(name) || (name != nullptr && IsPipe(name));
}

COutPutModuleBase* OpenOutputByName(const char* name, std::string& error)
{
    if (name == nullptr || *name == '\0') {
        error = "no output given";
        return nullptr;
    }
    if (IsSrtName(name)) {
        auto* pSink = new COutPutModuleSrt();
        if (pSink->Open(name) != 0) {
            error = std::string(pSink->GetName()) + ": " + pSink->GetError();
            delete pSink;
            return nullptr;
        }
        return pSink;
    }
    if (IsNetworkName(name)) {
        auto* pSink = new COutPutModuleUdp();
        if (pSink->Open(name) != 0) {
            error = std::string(name) + ": " + pSink->GetError();
            delete pSink;
            return nullptr;
        }
        return pSink;
    }
    auto* pSink = new COutPutModuleFile();
    if (IsStdoutName(name)) {
        std::fflush(stdout);
        if (pSink->OpenStdout() != 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            error = std::string("standard output: ") + std::strerror(errno ? errno : EIO);
            delete pSink;
            return nullptr;
        }
        std::signal(SIGPIPE, SIG_IGN);
        return pSink;
    }
    errno = 0;
    if (pSink->OpenFile(name) != 0) {
        error = std::string("cannot create output file ") + name + ": " +
                std::strerror(errno ? errno : EIO);
        delete pSink;
        return nullptr;
    }
    return pSink;
}

CSourceBase* OpenInputByName(const char* name, CInputModuleIface* module, int nBufferSize,
                             std::string& error)
{
    if (name == nullptr || *name == '\0') {
        error = "no input given";
        return nullptr;
    }
    if (IsSrtName(name)) {
        auto* pSource = new CSourceSrt();
        if (pSource->Open(name) != 0) {
            error = std::string(pSource->GetName()) + ": " + pSource->GetError();
            delete pSource;
            return nullptr;
        }
        pSource->SetRecvModule(module);
        return pSource;
    }
    if (IsNetworkName(name)) {
        auto* pSource = new CSourceUdp();
        if (pSource->Open(name) != 0) {
            error = std::string(name) + ": " + pSource->GetError();
            delete pSource;
            return nullptr;
        }
        pSource->SetRecvModule(module);
        return pSource;
    }
    const bool bStd = IsStdName(name);
    // Two readers of one pipe would each get every other piece of it.
    static bool s_bStdinTaken = false;
    if (bStd && s_bStdinTaken) {
        error = "standard input (-) can be only one of the inputs";
        return nullptr;
    }
    auto* pSource = new CSourceFile();
    const bool bPipe = bStd || IsPipe(name);
    pSource->InitBuffer(bPipe && nBufferSize > kPipeReadBytes ? kPipeReadBytes : nBufferSize);
    pSource->SetRecvModule(module);
    errno = 0;
    const int nRc = bStd ? pSource->OpenStdin() : pSource->OpenFile(name);
    if (nRc != 0) {
        error = std::string("cannot open input ") + (bStd ? "standard input" : name) + ": " +
                std::strerror(errno ? errno : EIO);
        delete pSource;
        return nullptr;
    }
    s_bStdinTaken = s_bStdinTaken || bStd;
    return pSource;
}

void SetOutputRate(COutPutModuleBase* sink, long long llBitsPerSecond)
{
    if (auto* pUdp = dynamic_cast<COutPutModuleUdp*>(sink)) {
        pUdp->SetBitRate(llBitsPerSecond);
    } else if (auto* pSrt = dynamic_cast<COutPutModuleSrt*>(sink)) {
        pSrt->SetBitRate(llBitsPerSecond);
    }
}

void StderrLogHandler(int nLevel, const char* szLine, void*)
{
    static const char* const kPrefix[] = {"debug: ", "warning: ", "error: ", ""};
    const char* szPrefix = (nLevel >= 0 && nLevel <= 3) ? kPrefix[nLevel] : "";
    std::fprintf(stderr, "%s%s\n", szPrefix, szLine);
}

void LogToStderr()
{
    SetLogHandler(&StderrLogHandler, nullptr);
}
