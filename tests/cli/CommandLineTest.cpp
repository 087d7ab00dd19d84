// The command line as main() answers it, in-process: usage errors, help and the checked configuration.
#include "CommandLine.h"

#include "ConfigCheck.h"
#include "Fixture.h"
#include "RetryPolicy.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>
#include <gtest/gtest.h>
#include <set>
#include <tuple>

namespace {

TEST(CommandLineTest, UsageErrorsExitTwoAndHelpZero)
{
    const std::string url = "http://127.0.0.1/x";
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> answers = {
        {{}, 2, "no command"},
        {{"fetch", url}, 2, "haul: unknown command \"fetch\"\nhaul: see 'haul help'\n"},
        {{"gte", url},
         2,
         "haul: unknown command \"gte\" (did you mean get?)\nhaul: see 'haul help' or 'haul help get'\n"},
        {{"help", "lsit"}, 2, "(did you mean list?)\nhaul: see 'haul help' or 'haul help list'\n"},
        {{"get", "--dri", "/tmp", url}, 2, "unknown option --dri (did you mean --dir?)\n"},
        {{"serve", "--idle-exti"}, 2, "unknown option --idle-exti (did you mean --idle-exit?)\n"},
        {{"get", "-x", url}, 2, "unknown option -x\n"},
        {{"get"}, 2, "get needs at least one URL"},
        {{"get", "just-a-name"}, 2, "bad URL \"just-a-name\": no scheme"},
        {{"get", "file:///etc/passwd"}, 2, "unsupported scheme \"file\""},
        {{"get", "gopher://127.0.0.1/x"}, 2, "unsupported scheme \"gopher\""},
        {{"get", "http:///x"}, 2, "missing host"},
        {{"get", "http://h:99999/"}, 2, "port 99999 out of range"},
        {{"get", "http://h:0/"}, 2, "port 0 out of range"},
        {{"get", "http://[::1]:x/"}, 2, "\"x\" is not a port"},
        {{"get", "http://h/a b"}, 2, "contains a space"},
        {{"get", ""}, 2, "bad URL: empty"},
        {{"get", url, "--sha1", "abc"}, 2, "40 hexadecimal digits"},
        {{"get", url, "--sha1", std::string(40, 'g')}, 2, "40 hexadecimal digits"},
        {{"get", url, "http://127.0.0.1/b", "--id", "x"}, 2, "single URL"},
        // The owner's rules, checked before anything is sent.
        {{"get", "http://h/" + std::string(300000, 'a')}, 2, "longer than 8 KiB"},
        {{"get", url, "--id", std::string(2200, 'i')}, 2, "--id: id is longer than 200 characters"},
        {{"get", url, "--id", "../x"}, 2, "may hold only letters, digits"},
        {{"page", "extra"}, 2, "takes no arguments"},
        {{"get", url, "--sha1"}, 2, "needs a value"},
        {{"get", "--fast", url}, 2, "unknown option --fast\n"},
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
        // A usage error points to the help of the command it concerns.
        {{"resume"}, 2, "haul: see 'haul help' or 'haul help resume'\n"},
        {{"--help"}, 0, "Usage: haul [global options] COMMAND"},
        {{"--version"}, 0, "haul " HAUL_VERSION "\n"},
        {{"version"}, 0, "haul " HAUL_VERSION "\n"},
        {{"get", "--help"}, 0, "Exit status: 0 all finished, 1 any failed, 2 usage error, 130 interrupted"},
        {{"help", "get"}, 0, "--sha1 HEX"},
    };
    for (const auto& [args, status, text] : answers) {
        SCOPED_TRACE(testing::PrintToString(args));
        CommandLine line;
        std::string out;
        std::string err;
        EXPECT_EQ(status, CommandLine::interpret(args, line, out, err));
        // Help on standard output; a usage error on standard error, one line and the hint.
        const std::string& shown = status == 0 ? out : err;
        EXPECT_NE(std::string::npos, shown.find(text)) << shown;
        if (status == 2) {
            EXPECT_EQ(2, std::count(err.begin(), err.end(), '\n')) << err;
            EXPECT_NE(std::string::npos, err.find("\nhaul: see 'haul help'")) << err;
        }
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

// Refused before any owner starts, the file's line named: a typo must not read as a missing key.
TEST(CommandLineTest, ConfigurationIsCheckedKeyByKey)
{
    Sandbox sandbox;
    const std::string ini = sandbox.file("conf.ini");
    ASSERT_TRUE(
        writeFile(ini, "; limits\n[Downloader]\nMaxDownloads = 4 ; four\nStatusInterval=\"0\"\n"
                       "[General]\nsecurity\\IgnoreSslErrors=no\nDownloader\\RequestTimeout=5\n[Proxy]\nPort=8080\n"));
    ASSERT_TRUE(writeFile(sandbox.file("typo.ini"), "[Downloader]\n\nMaxDownload=4\n"));
    ASSERT_TRUE(writeFile(sandbox.file("range.ini"), "[Proxy]\nHost=p\nPort=70000\n"));
    ASSERT_TRUE(writeFile(sandbox.file("junk.ini"), "[Downloader]\nMaxDownloads\n"));
    const auto set = [&](const std::string& pair) {
        return std::vector<std::string>{"--config", ini, "--set", pair, "list"};
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> answers = {
        {set("Downloader/RequestTimeout=0"), ""},
        {set("Downloader/MaxDownloads=-1"), ""},
        {set("General/security/IgnoreSslErrors=yes"), ""},
        {{"--config", sandbox.file("typo.ini"), "list"},
         sandbox.file("typo.ini") +
             ":3: unknown key \"Downloader/MaxDownload\" (did you mean Downloader/MaxDownloads?)"},
        {{"--config", sandbox.file("range.ini"), "list"},
         sandbox.file("range.ini") + ":3: Proxy/Port=70000: must be at most 65535"},
        {{"--config", sandbox.file("junk.ini"), "list"}, ":2: neither KEY=VALUE nor [SECTION]"},
        {{"--config", sandbox.file("none.ini"), "list"},
         "cannot read the configuration file " + sandbox.file("none.ini") + ": No such file"},
        {{"--config", sandbox.file(""), "list"}, "cannot read the configuration file"},
        {set("Downloader/RequestTimeout=-5"), "--set Downloader/RequestTimeout=-5: must be 0 or more"},
        {set("Downloader/MaxDownloads=-2"), "must be -1 or more"},
        {set("Downloader/StatusInterval=4294967296"), "must be at most 4294967295"},
        {set("Downloader/StatusInterval=99999999999999999999"), "must be at most 4294967295"},
        {set("Downloader/StatusInterval=1e3"), "\"1e3\" is not a whole number"},
        {set("General/security/IgnoreSslErrors=Yes"), "must be yes or no"},
        {set("security/IgnoreSslErrors=yes"), "(did you mean General/security/IgnoreSslErrors?)"},
        {set("RequestTimeout=-5"), "unknown key \"RequestTimeout\" (did you mean Downloader/RequestTimeout?)"},
        {set("Nothing/Like/This=1"), "unknown key \"Nothing/Like/This\"\n"},
    };
    for (const auto& [args, text] : answers) {
        SCOPED_TRACE(testing::PrintToString(args));
        CommandLine line;
        std::string out;
        std::string err;
        EXPECT_EQ(text.empty() ? -1 : 2, CommandLine::interpret(args, line, out, err));
        EXPECT_EQ(text.empty() ? std::string::npos : 0, err.find("haul: ")) << err;
        if (!text.empty()) {
            EXPECT_NE(std::string::npos, err.find(text)) << err;
        }
    }
}

// What the checked table accepts, what haul's help names and what the README and the manual page
// document must not drift apart.
TEST(CommandLineTest, ReadmeAndManualNameEveryKeyAndOption)
{
    const QByteArray readme = readFile(HAUL_SOURCE_DIR "/README.md"), manual = readFile(HAUL_SOURCE_DIR "/dist/haul.1");
    const QByteArray table =
        readme.mid(readme.indexOf("### Configuration keys"),
                   readme.indexOf("### The data directory") - readme.indexOf("### Configuration keys"));
    std::set<std::string> documented, checked;
    for (const QByteArray& row : table.split('\n')) {
        if (row.startsWith("| ") && row.contains('/'))
            for (const QByteArray& key : row.split('|')[1].trimmed().split(','))
                documented.insert(key.trimmed().toStdString());
    }
    for (const ConfigKey& key : configKeys()) {
        checked.insert(key.name);
        EXPECT_TRUE(manual.contains(QByteArray("\\fB") + key.name)) << key.name;
    }
    EXPECT_EQ(checked, documented);
    for (const std::string command :
         {"", "get", "resume", "pause", "abort", "forget", "serve", "list", "demo", "page"}) {
        const QString usage = QString::fromStdString(CommandLine::usage(command));
        for (QRegularExpressionMatchIterator i = QRegularExpression("--[a-z-]+").globalMatch(usage); i.hasNext();) {
            const QString option = i.next().captured();
            EXPECT_TRUE(readme.contains(option.toUtf8()) &&
                        manual.contains(QString(option).replace("-", "\\-").toUtf8()))
                << option.toStdString();
        }
    }
}

} // namespace
