#include "RetryPolicy.h"

#include <QString>
#include <algorithm>
#include <memory>
#include <random>

namespace {

const int firstDelayMs = 1000;
const int longestBackoffMs = 30000;
const int longestRetryAfterMs = 600000;

} // namespace

RetryPolicy::RetryPolicy(int retries, std::function<double()> randomSource)
    : limit(std::max(0, retries)), random(std::move(randomSource))
{
    if (!random) {
        auto engine = std::make_shared<std::mt19937>(std::random_device{}());
        random = [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
    }
}

bool RetryPolicy::mayRetry(int code)
{
    return code == 259 || code == 273 || code == 260;
}

std::string RetryPolicy::reason(const QJsonObject& ended)
{
    const int code = ended.value("code").toInt();
    const int status = ended.value("httpStatus").toInt();
    // A certificate does not mend itself, nor do credentials, a digest or a missing file.
    if (!ended.value("tlsCause").toString().isEmpty())
        return "";
    if (code == 259)
        return "cut short";
    if (code == 273)
        return "timed out";
    if (code != 260)
        return "";
    if ((status >= 500 && status <= 599) || status == 408 || status == 429)
        return "HTTP " + std::to_string(status);
    if (status != 0)
        return "";
    // Qt's texts of a refused and of a closed or reset connection.
    const QString text = ended.value("text").toString();
    if (text.contains("Connection refused", Qt::CaseInsensitive))
        return "connection refused";
    if (text.contains("Connection closed", Qt::CaseInsensitive) ||
        text.contains("closed connection", Qt::CaseInsensitive) ||
        text.contains("Connection reset", Qt::CaseInsensitive) || text.contains("reset by peer", Qt::CaseInsensitive))
        return "connection reset";
    return "";
}

int RetryPolicy::delayMs(int attempt, int retryAfterSeconds) const
{
    if (retryAfterSeconds >= 0)
        return static_cast<int>(std::min<long long>(retryAfterSeconds * 1000ll, longestRetryAfterMs));
    const int doublings = std::min(std::max(attempt, 1) - 1, 5);
    const int base = std::min(firstDelayMs << doublings, longestBackoffMs);
    return static_cast<int>(base * (0.75 + 0.5 * random()));
}
