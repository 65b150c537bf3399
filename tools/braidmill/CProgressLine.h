#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// One status line on standard error, rewritten in place twice a second while
// a multiplex runs: elapsed time, bytes in the output file and the output
// time they make at the multiplex rate. Only for a terminal, so that
// redirected output stays exactly what the program prints. Owned by main;
// its thread is joined by Stop or the destructor.
class CProgressLine
{
public:
    ~CProgressLine() { Stop(); }

    // Starts the thread when standard error is a terminal; otherwise nothing.
    void Start(const std::string& sOutputPath, double fBitRate);
    // Ends the thread and clears the line.
    void Stop();

private:
    void Loop();
    void Draw();

    std::string m_sOutputPath;
    double m_fBitRate = 0; // bit/s of the multiplex
    std::chrono::steady_clock::time_point m_tStart;
    std::thread m_th;
    std::mutex m_mtx;             // guards m_bStop for the condition variable
    std::condition_variable m_cv; // wakes the thread to stop
    bool m_bStop = false;
};
