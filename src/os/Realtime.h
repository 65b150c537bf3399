#pragma once

#include <cstddef>
#include <string>

// What a thread that must keep time under load asks of the system: a
// real-time scheduling class and memory that is never paged out. Each
// returns false with the reason in sError where the process lacks the
// right (CAP_SYS_NICE or RLIMIT_RTPRIO, CAP_IPC_LOCK or RLIMIT_MEMLOCK).
namespace os {

inline constexpr int kMaxRealtimePriority = 99; // SCHED_FIFO's range on Linux

// Puts the calling thread under SCHED_FIFO at nPriority.
bool SetThreadRealtime(int nPriority, std::string& sError);
// Locks the process's pages, those present and those touched later.
bool LockMemory(std::string& sError);
// Touches nBytes of the calling thread's stack below the caller, so that a
// later call that deep takes no page fault.
void PrefaultStack(size_t nBytes);
// Names the calling thread (15 characters at most), for ps and top.
void SetThreadName(const char* szName);

} // namespace os
