#include "CConsole.h"

#include <braidmill.h>

#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr const char* kClearLine = "\r\033[K";
// The library's log levels, as BraidmillLogHandler numbers them.
constexpr int kLevelDebug = 0;
constexpr int kLevelError = 2; // shown also when quiet
// The library's debug lines that have always shown: its threads' ends.
constexpr const char* kMsgMuxThreadExit = "Mux Thread exit";
constexpr const char* kMsgOutThreadExit = "Sout Thread exit";
constexpr const char* kMsgSourceEnd = "Reched the end of the file,source thread exit: %s ";

bool IsAscii(const std::string& s)
{
    for (unsigned char c : s) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

CConsole::~CConsole()
{
    Detach();
    if (m_cd != reinterpret_cast<iconv_t>(-1)) {
        iconv_close(m_cd);
    }
}

void CConsole::Init(bool bQuiet, bool bVerbose)
{
    m_bQuiet = bQuiet;
    m_bVerbose = bVerbose;
    m_bProgress = !bQuiet && isatty(STDERR_FILENO);
    if (bQuiet) {
        // Some library text is printed straight to stdout rather than logged;
        // quiet must silence that too. Errors go to stderr instead.
        std::fflush(stdout);
        const int nNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (nNull >= 0) {
            dup2(nNull, STDOUT_FILENO);
            close(nNull);
        }
        return;
    }
    if (!isatty(STDOUT_FILENO)) {
        return; // a file or a pipe gets the bytes as they are
    }
    // Only the character type: numbers keep the C locale's decimal point.
    if (std::setlocale(LC_CTYPE, "") == nullptr) {
        return;
    }
    const char* szCodeset = nl_langinfo(CODESET);
    if (szCodeset != nullptr && std::strcmp(szCodeset, "UTF-8") == 0) {
        m_cd = iconv_open("UTF-8", "GBK");
    }
}

void CConsole::Attach()
{
    SetLogHandler(&CConsole::LogHandler, this);
    m_bAttached = true;
}

void CConsole::Detach()
{
    if (m_bAttached) {
        SetLogHandler(nullptr, nullptr);
        m_bAttached = false;
    }
}

std::string CConsole::GbkToUtf8(iconv_t cd, const std::string& sLine)
{
    if (cd == reinterpret_cast<iconv_t>(-1) || IsAscii(sLine)) {
        return sLine;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr); // a fresh start for each line
    std::vector<char> vIn(sLine.begin(), sLine.end());
    std::vector<char> vOut(sLine.size() * 2 + 4); // a GBK pair never takes more than 3 bytes
    char* pIn = vIn.data();
    size_t nIn = vIn.size();
    char* pOut = vOut.data();
    size_t nOut = vOut.size();
    if (iconv(cd, &pIn, &nIn, &pOut, &nOut) == size_t(-1)) {
        return sLine; // not GBK after all: show the bytes rather than lose them
    }
    return std::string(vOut.data(), size_t(pOut - vOut.data()));
}

bool CConsole::ShowsLibraryLine(int nLevel, const char* szLine, bool bQuiet, bool bVerbose)
{
    if (nLevel == kLevelError) {
        return true;
    }
    if (bQuiet) {
        return false;
    }
    if (nLevel != kLevelDebug || bVerbose) {
        return true;
    }
    // The threads' own ends have always shown; the rest of the debug lines
    // (decoder notes, loop passes) are for -v.
    const std::string sLine = szLine;
    const std::string sSourceEnd = kMsgSourceEnd;
    const std::string sSourceEndStart = sSourceEnd.substr(0, sSourceEnd.find("%s"));
    return sLine == kMsgMuxThreadExit || sLine == kMsgOutThreadExit ||
           sLine.compare(0, sSourceEndStart.size(), sSourceEndStart) == 0;
}

std::string CConsole::TakeLibraryError()
{
    std::lock_guard<std::mutex> lock(m_mtx);
    std::string sError;
    sError.swap(m_sLibraryError);
    return sError;
}

void CConsole::LogHandler(int nLevel, const char* szLine, void* pUser)
{
    CConsole* pThis = static_cast<CConsole*>(pUser);
    if (nLevel == kLevelError) {
        std::lock_guard<std::mutex> lock(pThis->m_mtx);
        pThis->m_sLibraryError = GbkToUtf8(pThis->m_cd, szLine);
    }
    if (!ShowsLibraryLine(nLevel, szLine, pThis->m_bQuiet, pThis->m_bVerbose)) {
        return;
    }
    // The prefixes the library writes when no handler is set.
    static const char* const kPrefix[] = {"debug: ", "warning: ", "error: "};
    std::string sText = nLevel >= 0 && nLevel <= kLevelError ? kPrefix[nLevel] : "";
    std::lock_guard<std::mutex> lock(pThis->m_mtx);
    sText += GbkToUtf8(pThis->m_cd, szLine);
    sText += '\n';
    pThis->PrintLocked(pThis->m_bQuiet ? stderr : stdout, sText);
}

void CConsole::PrintLocked(FILE* pStream, const std::string& sText)
{
    const bool bRedraw = !m_sStatus.empty();
    if (bRedraw) {
        std::fputs(kClearLine, stderr);
    }
    std::fputs(sText.c_str(), pStream);
    std::fflush(pStream); // read live, and ordered with the other stream
    if (bRedraw) {
        std::fputs(m_sStatus.c_str(), stderr);
    }
}

void CConsole::Out(const std::string& sText)
{
    if (m_bQuiet) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    PrintLocked(stdout, sText);
}

void CConsole::Error(const std::string& sWhat)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    std::fflush(stdout); // keeps the order of the lines when both streams go to one place
    PrintLocked(stderr, "braidmill: " + sWhat + "\n");
}

void CConsole::Note(const std::string& sWhat)
{
    if (!m_bQuiet) {
        Error(sWhat);
    }
}

void CConsole::Detail(const std::string& sWhat)
{
    if (m_bVerbose) {
        Error(sWhat);
    }
}

void CConsole::SetStatus(const std::string& sStatus)
{
    if (!m_bProgress) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    m_sStatus = "\r" + sStatus + "\033[K";
    std::fputs(m_sStatus.c_str(), stderr);
}

void CConsole::ClearStatus()
{
    std::lock_guard<std::mutex> lock(m_mtx);
    if (!m_sStatus.empty()) {
        std::fputs(kClearLine, stderr);
        m_sStatus.clear();
    }
}
