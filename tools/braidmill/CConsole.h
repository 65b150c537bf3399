#pragma once

#include <iconv.h>

#include <mutex>
#include <string>

// Everything the program shows a person: the program's own stdout lines, the
// library's log lines (through SetLogHandler), messages on stderr, and the
// progress line. One lock orders them, so a log line never lands on the
// progress line: the line is cleared, the text printed, the line redrawn.
// Redirected, stdout carries the texts byte for byte; on a UTF-8 terminal
// the library's GBK texts are converted so that they can be read. Owned by
// main; used from main, the progress thread and the library's threads.
class CConsole
{
public:
    CConsole() = default;
    ~CConsole();
    CConsole(const CConsole&) = delete;
    CConsole& operator=(const CConsole&) = delete;

    // Looks at the terminals and the locale; call once, before any thread.
    // bQuiet keeps everything but errors off the screen: stdout is sent to
    // /dev/null and the library's error lines come on stderr.
    void Init(bool bQuiet, bool bVerbose);
    // Routes the library's lines here (SetLogHandler); Detach before this goes.
    void Attach();
    void Detach();

    // A line of the program on stdout, unchanged (sText has its newline).
    void Out(const std::string& sText);
    // "braidmill: <what>" on stderr, also when quiet.
    void Error(const std::string& sWhat);
    // "braidmill: <what>" on stderr, not when quiet.
    void Note(const std::string& sWhat);
    // Only with --verbose.
    void Detail(const std::string& sWhat);
    // Replaces the progress line (stderr must be a terminal; see ShowsProgress).
    void SetStatus(const std::string& sStatus);
    void ClearStatus();
    bool ShowsProgress() const { return m_bProgress; }

    // The text a UTF-8 terminal shows for a GBK line; sLine itself when it
    // is plain ASCII or does not convert. Public for the tests.
    static std::string GbkToUtf8(iconv_t cd, const std::string& sLine);
    // Whether a library line shows: errors always; debug lines only when
    // verbose, but for the library's own thread-end texts; nothing else
    // when quiet. Public for the tests.
    static bool ShowsLibraryLine(int nLevel, const char* szLine, bool bQuiet, bool bVerbose);
    // The last error line the library logged since the last call, then
    // forgotten; empty when none. From any thread.
    std::string TakeLibraryError();

private:
    static void LogHandler(int nLevel, const char* szLine, void* pUser);
    void PrintLocked(FILE* pStream, const std::string& sText);

    std::mutex m_mtx;      // guards the two streams, m_sStatus, m_sLibraryError and the converter
    std::string m_sStatus; // the progress line now on stderr; empty none
    std::string m_sLibraryError; // the library's last error line, for TakeLibraryError
    iconv_t m_cd = reinterpret_cast<iconv_t>(-1); // GBK to UTF-8; -1 no conversion
    bool m_bQuiet = false;
    bool m_bVerbose = false;
    bool m_bProgress = false; // stderr is a terminal and not quiet
    bool m_bAttached = false;
};
