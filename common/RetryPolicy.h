#pragma once

#include "Outcome.h"

#include <functional>
#include <string>

// Which failures another try may mend, and how long to wait before it. A try continues what
// arrived: a "Resume" asks the server for the rest. Decided from the report's code and cause
// alone, by the owner, the cluster and every client alike.
class RetryPolicy
{
public:
    // Further tries of a download whose request names none.
    static constexpr int defaultRetries = 5;

    // random: uniform in [0, 1), for the jitter.
    explicit RetryPolicy(std::function<double()> random = {});

    // Why another try may mend a failure ("cut short", "timed out", "connection refused",
    // "connection reset", "HTTP 503"); empty when it cannot: a certificate, credentials, a
    // digest, a missing file, a full disk do not mend themselves.
    static std::string reason(int code, const Cause& cause);
    // Milliseconds before try number attempt (1 for the first retry): the server's Retry-After
    // when given (at most ten minutes), else 1 s, 2 s, 4 s ... up to 30 s, each +-25 %.
    int delayMs(int attempt, int retryAfterSeconds) const;

private:
    std::function<double()> random;
};
