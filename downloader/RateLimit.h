#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

// A token bucket: bytes a transfer may take now at a rate in bytes a second, with at most a
// quarter second saved up. One per transfer (its --limit-rate), and one shared by every transfer
// of the process (Downloader/MaxRate). The rate may change at any time, from any thread.
class RateLimit
{
public:
    // Bytes a second; 0: no limit.
    void setRate(std::int64_t bytesPerSecond) { limit = bytesPerSecond > 0 ? bytesPerSecond : 0; }
    std::int64_t rate() const { return limit; }
    // Up to want bytes now; 0 when the bucket is empty.
    std::int64_t take(std::int64_t want);
    // Bytes taken back that were not read after all.
    void giveBack(std::int64_t bytes);
    // Milliseconds until bytes are in the bucket (at least 1).
    std::int64_t waitMs(std::int64_t bytes) const;

    // The one of every transfer in this process.
    static RateLimit& overall();

private:
    std::atomic<std::int64_t> limit{0};
    mutable std::mutex mutex;
    std::int64_t tokens = 0;
    bool started = false;
    std::chrono::steady_clock::time_point last; // of every transfer alike: one clock
};
