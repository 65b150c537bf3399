#pragma once

namespace os {

// Blocks the calling thread for at least nMs milliseconds.
void Sleep(unsigned nMs) noexcept;

} // namespace os
