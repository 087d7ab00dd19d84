// What a failure's code and cause mean: whether another try may mend it, how long to wait, and
// the words a person reads. Decided from the typed cause alone; the texts are only shown.
#include "HumanText.h"
#include "RetryPolicy.h"

#include <gtest/gtest.h>

namespace {

Cause cause(NetworkCause network, int httpStatus = 0, std::string tls = "", int retryAfter = -1, long kept = -1)
{
    Cause made;
    made.network = network;
    made.httpStatus = httpStatus;
    made.tlsCause = std::move(tls);
    made.retryAfter = retryAfter;
    made.bytesKept = kept;
    return made;
}

TEST(OutcomeTest, CausesDecideRetriesAndWords)
{
    const auto none = NetworkCause::None;
    struct Row
    {
        Code code;
        Cause cause;
        std::string text; // the component's, which nothing parses any more
        std::string retry;
        std::string words;
    };
    const std::vector<Row> rows = {
        {Code::CutShort, cause(none, 200, "", -1, 1048576), "x", "cut short",
         "the connection closed before the whole file arrived; 1048576 bytes are kept for a resume"},
        {Code::TimedOut, cause(NetworkCause::TimedOut), "x", "timed out", "no data from the server in time"},
        {Code::Failed, cause(none, 503, "", 120), "Error transferring http://h/f - server replied: Unavailable",
         "HTTP 503", "HTTP 503 Service Unavailable (the server asks to wait 120 s)"},
        {Code::Failed, cause(none, 429), "x", "HTTP 429", "HTTP 429 Too Many Requests"},
        {Code::Failed, cause(none, 408), "x", "HTTP 408", "HTTP 408 Request Timeout"},
        {Code::Failed, cause(NetworkCause::Refused), "Connection refused", "connection refused", "connection refused"},
        {Code::Failed, cause(NetworkCause::Reset), "x", "connection reset", "the connection was closed or reset"},
        {Code::Failed, cause(NetworkCause::Reset, 0, "", -1, 0), "x", "connection reset",
         "the connection was closed or reset; nothing was received"},
        // Words that look like a cause are no cause: only the typed one counts.
        {Code::Failed, cause(none, 404), "Error transferring http://h/Connection refused", "", "HTTP 404 Not Found"},
        {Code::CredentialsRequired, cause(none, 401), "Download failed: Server replied Authorization Required.", "",
         "give --user NAME"},
        {Code::Failed, cause(NetworkCause::Other), "Connection refused", "", "Connection refused"},
        {Code::Failed, cause(NetworkCause::HostNotFound), "x", "", "host not found"},
        {Code::TlsFailed, cause(NetworkCause::Tls, 0, "untrusted issuer"), "x", "",
         "TLS handshake failed: certificate not trusted (untrusted issuer)"},
        {Code::Failed, cause(NetworkCause::Reset, 0, "expired certificate"), "x", "", "the connection was closed"},
        {Code::Gone, cause(none, 410), "x", "", "HTTP 410 Gone"},
        {Code::DigestMismatch, cause(none, 200), "x", "", "Digest verification failed"},
        {Code::CredentialsRefused, cause(none, 401), "x", "", "the server refused the user name and password"},
        {Code::NotAFile, cause(none, 304), "Download failed.", "", "the server answered HTTP 304 instead of the file"},
        {Code::Unset, cause(NetworkCause::TooManyRedirects), "x", "", "too many redirects (more than 5)"},
        {Code::CannotWrite, cause(none), "x", "", "cannot create or write the partial file"},
        {Code::IdInUse, cause(none), "download x is known (paused): resume it", "", "download x is known (paused)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(number(row.code)) + " " + row.cause.toText());
        EXPECT_EQ(row.retry, RetryPolicy::reason(number(row.code), row.cause));
        human::Report report{"WasFailed", number(row.code), row.text, "x", row.cause};
        const std::string words = human::text(report);
        EXPECT_NE(std::string::npos, words.find(row.words)) << words;
        // The component's own wording gives way wherever the cause says more.
        if (row.text.size() > 1 && row.code != Code::IdInUse && row.cause.network != NetworkCause::Other) {
            EXPECT_EQ(std::string::npos, words.find(row.text)) << words;
        }
        EXPECT_NE(std::string::npos, human::withCode(report).find("(code " + std::to_string(number(row.code)) + ")"));
    }
    // The cause travels as text and comes back the same.
    const Cause full = cause(NetworkCause::Reset, 503, "host name mismatch", 30, 4096);
    EXPECT_EQ(full, Cause::fromText(full.toText()));
    EXPECT_EQ(Cause(), Cause::fromText("{"));
}

TEST(OutcomeTest, WaitsDoubleWithJitterOrFollowTheServer)
{
    // Doubling from 1 s up to 30 s, each within +-25 %; a server's wait up to 10 minutes.
    const RetryPolicy low([] { return 0.0; }), high([] { return 0.999999; });
    const std::vector<int> lows = {750, 1500, 3000, 6000, 12000, 22500, 22500};
    for (int attempt = 1; attempt <= 7; ++attempt) {
        EXPECT_EQ(lows[attempt - 1], low.delayMs(attempt, -1)) << attempt;
        EXPECT_NEAR(lows[attempt - 1] * 5 / 3, high.delayMs(attempt, -1), 1) << attempt;
    }
    EXPECT_EQ((std::make_pair(0, 7000)), std::make_pair(low.delayMs(3, 0), high.delayMs(1, 7)));
    EXPECT_EQ(600000, low.delayMs(1, 86400));
}

} // namespace
