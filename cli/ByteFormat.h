#pragma once

#include <cstdint>
#include <string>

// Human-readable sizes, rates and durations for the terminal. Free functions, any thread.

// "0 B", "512 B", "1.5 KiB", "300.0 MiB", "2.00 GiB".
std::string formatBytes(std::uint64_t bytes);
// "0:05", "12:34", "1:02:03"; "--:--" when unknown (negative).
std::string formatDuration(std::int64_t seconds);
