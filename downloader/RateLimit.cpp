#include "RateLimit.h"

#include <algorithm>

std::int64_t RateLimit::take(std::int64_t want, std::int64_t rate, std::int64_t nowMs)
{
    if (rate <= 0)
        return want;
    std::lock_guard<std::mutex> lock(mutex);
    const std::int64_t burst = std::max<std::int64_t>(rate / 4, 1);
    if (lastMs < 0)
        tokens = burst;
    else
        tokens = std::min(burst, tokens + (nowMs - lastMs) * rate / 1000);
    lastMs = nowMs;
    const std::int64_t taken = std::max<std::int64_t>(0, std::min(want, tokens));
    tokens -= taken;
    return taken;
}

void RateLimit::giveBack(std::int64_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    tokens += bytes;
}

std::int64_t RateLimit::waitMs(std::int64_t bytes, std::int64_t rate) const
{
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
