#pragma once

#include <QJsonObject>
#include <functional>
#include <string>

// Which endings another try may mend, and how long to wait before it. A try is a "Resume"
// through the owner, so what arrived stays and the next request asks for the rest.
class RetryPolicy
{
public:
    // random: uniform in [0, 1), for the jitter.
    explicit RetryPolicy(int retries, std::function<double()> random = {});

    int retries() const { return limit; }
    // Failure codes worth holding back until the owner's "ended" event tells the rest.
    static bool mayRetry(int code);
    // For an "ended" event of a failed download: why a retry may mend it; "" when it cannot.
    static std::string reason(const QJsonObject& ended);
    // Milliseconds before try number attempt (1 for the first retry): the server's Retry-After
    // when given (at most ten minutes), else 1 s, 2 s, 4 s ... up to 30 s, each +-25 %.
    int delayMs(int attempt, int retryAfterSeconds) const;

private:
    int limit;
    std::function<double()> random;
};
