#pragma once

namespace os {

// A use of the SRT library. The library runs threads of its own from its
// startup to its cleanup; the first use alive starts it and the last one
// gone cleans it up, so that a process that no longer uses SRT has none of
// its threads left. Each SRT source or sink holds one, declared before its
// sockets so that it outlives them. Any thread; the count has its own lock.
class CSrtLibrary
{
public:
    CSrtLibrary();
    ~CSrtLibrary();
    CSrtLibrary(const CSrtLibrary&) = delete;
    CSrtLibrary& operator=(const CSrtLibrary&) = delete;

    // False when the library could not be started: nothing SRT will work.
    bool IsStarted() const { return m_bStarted; }
    // Uses alive in the process.
    static int GetUsers();

private:
    bool m_bStarted = false;
};

} // namespace os
