// The command line as main() answers it, in-process: usage errors and help.
#include "CommandLine.h"

#include "Fixture.h"
#include "RetryPolicy.h"

#include <QJsonDocument>

#include <gtest/gtest.h>
#include <tuple>

namespace {

TEST(CommandLineTest, UsageErrorsExitTwoAndHelpZero)
{
    const std::string url = "http://127.0.0.1/x";
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> answers = {
        {{}, 2, "no command"},
        {{"fetch", url}, 2, "unknown command"},
        {{"get"}, 2, "get needs at least one URL"},
        {{"get", "just-a-name"}, 2, "not an http, https or ftp URL"},
        {{"get", "file:///etc/passwd"}, 2, "not an http, https or ftp URL"},
        {{"get", url, "--sha1", "abc"}, 2, "40 hexadecimal digits"},
        {{"get", url, "--sha1", std::string(40, 'g')}, 2, "40 hexadecimal digits"},
        {{"get", url, "http://127.0.0.1/b", "--id", "x"}, 2, "single URL"},
        {{"get", url, "--sha1"}, 2, "needs a value"},
        {{"get", "--fast", url}, 2, "unknown option --fast"},
        {{"list", "--all"}, 2, "list does not take --all"},
        {{"--set", "Downloader/MaxDownloads", "list"}, 2, "KEY=VALUE"},
        {{"resume", "--all", "some-id"}, 2, "not both"},
        {{"resume"}, 2, "identifiers or --all"},
        {{"abort"}, 2, "at least one identifier"},
        {{"list", "extra"}, 2, "takes no arguments"},
        {{"pause"}, 2, "pause needs at least one identifier"},
        {{"get", url, "--retries", "-1"}, 2, "--retries needs a count"},
        {{"forget"}, 2, "forget needs identifiers or --failed"},
        {{"forget", "--failed", "some-id"}, 2, "not both"},
        {{"pause", "some-id", "--failed"}, 2, "pause does not take --failed"},
        {{"serve", "extra"}, 2, "takes no arguments"},
        {{"get", url, "--listen", "127.0.0.1:1"}, 2, "get does not take --listen"},
        {{"serve", "--detach"}, 2, "serve does not take --detach"},
        {{"serve", "--help"}, 0, "--allow-remote"},
        {{"get", "-i", "/nonexistent/urls.txt"}, 2, "cannot read"},
        {{"--cluster", "http://127.0.0.1:4222", "list"}, 2, "--cluster needs nats://HOST:PORT"},
        {{"--cluster", "nats://127.0.0.1:4222", "get", url, "--user", "u"}, 2, "--user cannot go with --cluster"},
        {{"--cluster", "nats://127.0.0.1:4222", "resume", "--all"}, 2, "with --cluster name the downloads"},
        // A usage error shows the usage of the command it concerns.
        {{"resume"}, 2, "Usage: haul resume"},
        {{"--help"}, 0, "Usage: haul [global options] COMMAND"},
        {{"get", "--help"}, 0, "Exit status: 0 all finished, 1 any failed, 2 usage error, 130 interrupted"},
        {{"help", "get"}, 0, "--sha1 HEX"},
    };
    for (const auto& [args, status, text] : answers) {
        SCOPED_TRACE(testing::PrintToString(args));
        CommandLine line;
        std::string out;
        std::string err;
        EXPECT_EQ(status, CommandLine::interpret(args, line, out, err));
        // Help on standard output, usage errors on standard error, each with the usage.
        const std::string& shown = status == 0 ? out : err;
        EXPECT_NE(std::string::npos, shown.find(text)) << shown;
        EXPECT_NE(std::string::npos, shown.find("Usage: haul")) << shown;
        EXPECT_TRUE((status == 0 ? err : out).empty());
    }
}

TEST(CommandLineTest, UrlFileAddsItsLinesButCommentsAndBlankOnes)
{
    Sandbox sandbox;
    ASSERT_TRUE(writeFile(sandbox.file("urls"), "# two files\n\nhttp://127.0.0.1/a\n   \n  ftp://127.0.0.1/b  \n"));
    EXPECT_EQ((std::vector<std::string>{"http://127.0.0.1/0", "http://127.0.0.1/a", "ftp://127.0.0.1/b"}),
              CommandLine::parse({"get", "http://127.0.0.1/0", "-i", sandbox.file("urls")}).arguments);
}

TEST(RetryPolicyTest, OnlyWhatARetryMayMendIsTriedAgainAfterTheRightWait)
{
    const std::vector<std::pair<QJsonObject, std::string>> endings = {
        {{{"code", 259}, {"httpStatus", 200}}, "cut short"},
        {{{"code", 273}}, "timed out"},
        {{{"code", 260}, {"httpStatus", 503}}, "HTTP 503"},
        {{{"code", 260}, {"httpStatus", 429}}, "HTTP 429"},
        {{{"code", 260}, {"httpStatus", 408}}, "HTTP 408"},
        {{{"code", 260}, {"text", "Connection refused"}}, "connection refused"},
        {{{"code", 260}, {"text", "Connection closed"}}, "connection reset"},
        {{{"code", 260}, {"httpStatus", 404}, {"text", "Error transferring http://h/Connection refused"}}, ""},
        {{{"code", 260}, {"tlsCause", "untrusted issuer"}, {"text", "Connection closed"}}, ""},
        {{{"code", 266}, {"httpStatus", 410}}, ""},
        {{{"code", 274}, {"httpStatus", 200}}, ""},
        {{{"code", 263}, {"httpStatus", 401}}, ""},
        {{{"code", 264}, {"httpStatus", 401}}, ""},
        {{{"code", 265}}, ""},
    };
    for (const auto& [ended, reason] : endings)
        EXPECT_EQ(reason, RetryPolicy::reason(ended)) << QJsonDocument(ended).toJson().toStdString();
    // Doubling from 1 s up to 30 s, each within +-25 %; a server's wait up to 10 minutes.
    const RetryPolicy low(5, [] { return 0.0; }), high(5, [] { return 0.999999; });
    const std::vector<int> lows = {750, 1500, 3000, 6000, 12000, 22500, 22500};
    for (int attempt = 1; attempt <= 7; ++attempt) {
        EXPECT_EQ(lows[attempt - 1], low.delayMs(attempt, -1)) << attempt;
        EXPECT_NEAR(lows[attempt - 1] * 5 / 3, high.delayMs(attempt, -1), 1) << attempt;
    }
    EXPECT_EQ((std::make_pair(0, 7000)), std::make_pair(low.delayMs(3, 0), high.delayMs(1, 7)));
    EXPECT_EQ(600000, low.delayMs(1, 86400));
}

} // namespace
