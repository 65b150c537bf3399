#include "os/Realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

namespace os {

bool SetThreadRealtime(int nPriority, std::string& sError)
{
    sched_param param{};
    param.sched_priority = nPriority;
    const int nRc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (nRc != 0) {
        sError = std::strerror(nRc);
        return false;
    }
    return true;
}

bool LockMemory(std::string& sError)
{
    // MCL_ONFAULT: a future mapping (another thread's 8 MB stack) is locked
    // as it is touched rather than faulted in whole.
    if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0) {
        return true;
    }
    if (errno == EINVAL && mlockall(MCL_CURRENT | MCL_FUTURE) == 0) {
        return true; // a kernel before 4.4
    }
    sError = std::strerror(errno);
    return false;
}

__attribute__((noinline)) void PrefaultStack(size_t nBytes)
{
    // alloca rather than an array: the size is the caller's, and the
    // volatile writes keep the compiler from dropping the touch.
    volatile unsigned char* p = static_cast<volatile unsigned char*>(__builtin_alloca(nBytes));
    for (size_t i = 0; i < nBytes; i += 4096) {
        p[i] = 0;
    }
}

void SetThreadName(const char* szName)
{
    pthread_setname_np(pthread_self(), szName);
}

} // namespace os
