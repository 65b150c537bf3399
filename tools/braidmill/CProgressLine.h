#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class CConsole;

// One status line on standard error, rewritten in place twice a second while
// a multiplex runs: elapsed time, bytes written and the output time they
// make at the multiplex rate. Drawn through the console, which keeps log
// lines off it; only for a terminal, so that redirected output stays exactly
// what the program prints. Owned by main; its thread is joined by Stop or
// the destructor.
class CProgressLine
{
public:
    explicit CProgressLine(CConsole& console) : m_console(console) {}
    ~CProgressLine() { Stop(); }
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;

    // Starts the thread when the console shows progress; otherwise nothing.
    // fnBytes is called on that thread and must be safe there.
    void Start(std::function<long long()> fnBytes, double fBitRate);
    // Ends the thread and clears the line.
    void Stop();

private:
    void Loop();
    void Draw();

    CConsole& m_console;
    std::function<long long()> m_fnBytes; // bytes written so far
    double m_fBitRate = 0;                // bit/s of the multiplex
    std::chrono::steady_clock::time_point m_tStart;
    std::thread m_th;
    std::mutex m_mtx;             // guards m_bStop for the condition variable
    std::condition_variable m_cv; // wakes the thread to stop
    bool m_bStop = false;
};
