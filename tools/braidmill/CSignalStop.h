#pragma once

#include <atomic>

// Turns SIGINT, SIGTERM and SIGHUP into a request to end the run cleanly.
// The handler only records the signal and writes its number to a self-pipe;
// a watcher thread waits on the pipe (Wait) and does the stopping, since
// nothing that stops an engine is safe inside a signal handler. A second
// signal ends the process at once, by the signal's default action. SIGPIPE
// is ignored meanwhile, so that a closed output pipe is a failed write. One per
// process, owned by main; the destructor restores the previous handlers.
class CSignalStop
{
public:
    CSignalStop() = default;
    ~CSignalStop();
    CSignalStop(const CSignalStop&) = delete;
    CSignalStop& operator=(const CSignalStop&) = delete;

    // Installs the handlers; false (errno set) when the pipe or a handler fails.
    bool Install();
    // The first signal caught, 0 while none.
    static int GetSignal() { return s_nSignal.load(); }
    // Waits up to nTimeoutMs for a signal or a Wake; returns GetSignal().
    int Wait(int nTimeoutMs) const;
    // Ends a Wait early, from any thread (the watcher's owner, at the end).
    void Wake() const;
    // "SIGINT" for 2 and so on.
    static const char* Name(int nSignal);

private:
    static void Handle(int nSignal);

    static std::atomic<int> s_nSignal;  // first signal caught; 0 none
    static std::atomic<int> s_nWriteFd; // self-pipe's write end for the handler; -1 none
    int m_vPipe[2] = {-1, -1};
    bool m_bInstalled = false;
};
