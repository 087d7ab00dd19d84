#include "RateLimit.h"

#include <algorithm>

std::int64_t RateLimit::take(std::int64_t want)
{
    const std::int64_t rate = limit;
    if (rate <= 0)
        return want;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    const std::int64_t burst = std::max<std::int64_t>(rate / 4, 1);
    if (!started)
        tokens = burst;
    else {
        // A second fills any bucket; counting no further keeps the product in range.
        const std::int64_t us =
            std::min<std::int64_t>(1000000, std::chrono::duration_cast<std::chrono::microseconds>(now - last).count());
        tokens = std::min(burst, tokens + us * (rate / 1000) / 1000 + us * (rate % 1000) / 1000000);
    }
    started = true;
    last = now;
    const std::int64_t taken = std::max<std::int64_t>(0, std::min(want, tokens));
    tokens -= taken;
    return taken;
}

void RateLimit::giveBack(std::int64_t bytes)
{
    if (limit <= 0 || bytes <= 0)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    tokens += bytes;
}

std::int64_t RateLimit::waitMs(std::int64_t bytes) const
{
    const std::int64_t rate = limit;
    if (rate <= 0)
        return 1;
    std::lock_guard<std::mutex> lock(mutex);
    return std::max<std::int64_t>(1, (bytes - tokens) * 1000 / rate);
}

RateLimit& RateLimit::overall()
{
    static RateLimit limit;
    return limit;
}
