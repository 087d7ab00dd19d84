#include "RetryPolicy.h"

#include <algorithm>
#include <memory>
#include <random>

namespace {

const int firstDelayMs = 1000;
const int longestBackoffMs = 30000;
const int longestRetryAfterMs = 600000;

} // namespace

RetryPolicy::RetryPolicy(std::function<double()> randomSource) : random(std::move(randomSource))
{
    if (!random) {
        auto engine = std::make_shared<std::mt19937>(std::random_device{}());
        random = [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
    }
}

std::string RetryPolicy::reason(int code, const Cause& cause)
{
    if (!cause.tlsCause.empty() || cause.network == NetworkCause::Tls)
        return "";
    if (code == number(Code::CutShort))
        return "cut short";
    // The data is whole and kept; the store or the folder may let it be named in a moment.
    if (code == number(Code::CannotSave))
        return "the file could not take its final name";
    if (code == number(Code::TimedOut) || cause.network == NetworkCause::TimedOut)
        return "timed out";
    if (code != number(Code::Failed))
        return "";
    const int status = cause.httpStatus;
    if ((status >= 500 && status <= 599) || status == 408 || status == 429)
        return "HTTP " + std::to_string(status);
    if (status != 0)
        return "";
    switch (cause.network) {
    case NetworkCause::Refused:
        return "connection refused";
    case NetworkCause::Reset:
        return "connection reset";
    default:
        return "";
    }
}

int RetryPolicy::delayMs(int attempt, int retryAfterSeconds) const
{
    if (retryAfterSeconds >= 0)
        return static_cast<int>(std::min<long long>(retryAfterSeconds * 1000ll, longestRetryAfterMs));
    const int doublings = std::min(std::max(attempt, 1) - 1, 5);
    const int base = std::min(firstDelayMs << doublings, longestBackoffMs);
    return static_cast<int>(base * (0.75 + 0.5 * random()));
}
