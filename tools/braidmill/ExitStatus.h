#pragma once

// The console program's exit statuses; a stop by a signal exits with 128 +
// its number.
inline constexpr int kExitOk = 0;
inline constexpr int kExitIo = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitIncomplete = 3;
inline constexpr int kExitSignalBase = 128;
