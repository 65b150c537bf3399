#include "os/Sleep.h"

#include <chrono>
#include <thread>

namespace os {

void Sleep(unsigned nMs) noexcept
{
    std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
}

} // namespace os
