// The command line as main() answers it, in-process: usage errors, help and the checked configuration.
#include "CommandLine.h"

#include "ConfigCheck.h"
#include "ConfigRead.h"
#include "Configuration.h"
#include "Fixture.h"
#include "OptionTable.h"

#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
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
        {{"get", "-z", url}, 2, "unknown option -z\n"},
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
        {{"--cluster", "nats://127.0.0.1:4222", "resume", "x", "--user", "u"}, 2, "--user cannot go with --cluster"},
        {{"--cluster", "nats://127.0.0.1:4222", "get", url, "--id", "x", "--replace"}, 2, "one data directory"},
        // Several servers; a password in either URL is never shown.
        {{"--cluster", "nats://127.0.0.1:4222,nats://u:secret@[::1]:x", "list"}, 2, "got \"nats://[::1]:x\""},
        {{"--cluster", "nats://127.0.0.1:4222", "get", "http://ann:pw@127.0.0.1/f"},
         2,
         "a URL with a user name cannot go with --cluster: the password would be stored in the queue "
         "(http://127.0.0.1/f)"},
        {{"get", url, "--replace"}, 2, "--replace needs --id"},
        {{"resume", "x", "--replace"}, 2, "resume does not take --replace"},
        {{"pause", "x", "--user", "u"}, 2, "pause does not take --user"},
        {{"get", url, "--replace=yes"}, 2, "--replace takes no value"},
        // A usage error points to the help of the command it concerns.
        {{"resume"}, 2, "haul: see 'haul help' or 'haul help resume'\n"},
        {{"--help"}, 0, "Usage: haul [global options] COMMAND"},
        {{"--version"}, 0, "haul " HAUL_VERSION "\n"},
        {{"version"}, 0, "haul " HAUL_VERSION "\n"},
        {{"get", "--help"}, 0, "Exit status: 0 all finished, 1 any failed, 2 usage error, 130 interrupted"},
        {{"help", "get"}, 0, "--sha1 HEX"},
        {{"help", "resume"}, 0, "--user NAME"},
        {{"help", "get"}, 0, "--replace"},
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
        EXPECT_EQ(std::string::npos, (out + err).find("secret"));
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

TEST(CommandLineTest, ResumeTakesCredentialsAndGetAReplacement)
{
    const CommandLine resume = CommandLine::parse({"resume", "--all", "--user=ann"});
    EXPECT_EQ("ann", resume.user);
    EXPECT_TRUE(resume.all);
    const CommandLine get = CommandLine::parse({"get", "http://127.0.0.1/a", "--id", "a1", "--replace", "-d", "x"});
    EXPECT_TRUE(get.replace);
    EXPECT_EQ("x", get.destination);
    EXPECT_FALSE(CommandLine::parse({"get", "http://127.0.0.1/a", "--id", "a1"}).replace);
}

// A row of the table that the parser cannot apply would end haul with an exception instead of
// an answer: every spelling, for every command that takes it, is applied or refused as usage.
TEST(CommandLineTest, EveryOptionOfTheTableIsApplied)
{
    for (const OptionInfo& option : optionTable()) {
        for (const CommandInfo& command : commandTable()) {
            if (command.shows || !option.takenBy(command.name))
                continue;
            for (const char* spelling : {option.name, option.shortName}) {
                if (!spelling)
                    continue;
                std::vector<std::string> args = {command.name, spelling};
                if (option.takesValue())
                    args.push_back("a=1");
                args.push_back("--help");
                SCOPED_TRACE(testing::PrintToString(args));
                CommandLine line;
                std::string out, err;
                EXPECT_NO_THROW(EXPECT_NE(-1, CommandLine::interpret(args, line, out, err)));
            }
        }
    }
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

// A reader gets a number the key accepts: what is configured, else the table's default.
TEST(ConfigTest, ConfiguredNumbersOutsideTheKeysRangeReadAsTheDefault)
{
    Configuration& configuration = Configuration::instance();
    const std::vector<std::tuple<std::string, std::string, std::int64_t>> readings = {
        {"Service/MaxConnections", "", 256},
        {"Service/MaxConnections", "100000", 100000},
        {"Service/MaxConnections", "100001", 256},
        {"Service/MaxConnections", "0", 256},
        {"Service/MaxConnections", "12abc", 256},
        {"Service/MaxConnections", " 12", 256},
        {"Service/IdleExitSeconds", "0", 0},
        {"Service/IdleExitSeconds", "-1", 30},
        {"Downloader/MaxDownloads", "-1", -1},
        {"Downloader/StatusInterval", "4294967295", 4294967295},
        {"Downloader/StatusInterval", "99999999999999999999", 2000},
        {"Cluster/AckWaitSeconds", "2", 30},
    };
    for (const auto& [key, text, expected] : readings) {
        if (text.empty())
            configuration.unset(key);
        else
            configuration.set(key, text);
        EXPECT_EQ(expected, configInt(key)) << key << "=" << text;
    }
    configuration.clear();
    EXPECT_THROW(configInt("Service/MaxConnection"), std::invalid_argument);
    EXPECT_THROW(configInt("Proxy/Host"), std::invalid_argument);
    // A default the check would refuse could never be configured back.
    for (const ConfigKey& key : configKeys()) {
        if (key.kind == ConfigKey::Kind::Number) {
            EXPECT_EQ("", key.valueProblem(key.defaultText)) << key.name;
            EXPECT_EQ(std::to_string(configInt(key.name)), key.defaultText) << key.name;
        }
        if (key.hostValue) {
            EXPECT_EQ("", key.valueProblem(key.hostValue)) << key.name;
        }
    }
}

// The README is written by hand: its table of keys and its text must name what haul takes.
TEST(CommandLineTest, ReadmeNamesEveryKeyAsTheTableHasItAndEveryOption)
{
    const QByteArray readme = readFile(HAUL_SOURCE_DIR "/README.md");
    const QByteArray table =
        readme.mid(readme.indexOf("### Configuration keys"),
                   readme.indexOf("### The data directory") - readme.indexOf("### Configuration keys"));
    std::set<std::string> documented, checked;
    for (const QByteArray& row : table.split('\n')) {
        const QList<QByteArray> cells = row.split('|');
        if (!row.startsWith("| ") || !row.contains('/') || cells.size() < 5)
            continue;
        for (const QByteArray& name : cells[1].trimmed().split(',')) {
            const std::string key = name.trimmed().toStdString();
            documented.insert(key);
            const ConfigKey* known = findConfigKey(key);
            ASSERT_TRUE(known) << key;
            EXPECT_EQ(known->values(), cells[2].trimmed().toStdString()) << key;
            EXPECT_EQ(known->defaultText, cells[3].trimmed().toStdString()) << key;
        }
    }
    for (const ConfigKey& key : configKeys())
        checked.insert(key.name);
    EXPECT_EQ(checked, documented);
    const QByteArray usingHaul = readme.mid(readme.indexOf("## Using haul"),
                                            readme.indexOf("### Configuration keys") - readme.indexOf("## Using haul"));
    for (const OptionInfo& option : optionTable()) {
        // "--log" alone, not inside "--log-level".
        const QRegularExpression named(QString("(?<![\\w-])%1(?![\\w-])").arg(option.name));
        EXPECT_TRUE(named.match(QString::fromUtf8(usingHaul)).hasMatch()) << option.name;
    }
}

QByteArray run(const QString& program, const QStringList& arguments, QByteArray* errors = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForFinished(20000)) << program.toStdString();
    if (errors)
        *errors = process.readAllStandardError();
    return process.readAllStandardOutput();
}

// The completion a user gets for the words typed so far, the last one being completed: the
// installed bash script with stand-ins for the two bash-completion helpers it calls, or (plain)
// in a bash without them, run in folder.
std::vector<std::string> bashCompletions(const std::vector<std::string>& words, bool plain = false,
                                         const std::string& folder = ".")
{
    QString line = "haul";
    for (const std::string& word : words)
        line += " '" + QString::fromStdString(word) + "'";
    const QString helpers =
        plain ? ""
              : "_init_completion() { words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; cur=${words[cword]};"
                " prev=${words[cword-1]}; }\n"
                "_filedir() { COMPREPLY=(\"FILES$1\"); }\n";
    const QString script = "cd '" + QString::fromStdString(folder) + "'\n" + helpers +
                           "compopt() { :; }\n"
                           "source '" HAUL_DIST_DIR "/haul.bash'\n"
                           "COMP_WORDS=(" +
                           line +
                           "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                           "_haul; printf '%s\\n' \"${COMPREPLY[@]}\"\n";
    QByteArray errors;
    const QByteArray out = run("bash", {"-c", script}, &errors);
    EXPECT_EQ("", errors.toStdString());
    std::vector<std::string> offered;
    for (const QByteArray& word : out.split('\n'))
        if (!word.isEmpty())
            offered.push_back(word.toStdString());
    std::sort(offered.begin(), offered.end());
    return offered;
}

using Words = std::vector<std::string>;

TEST(DistTest, BashCompletionOffersWhatEachCommandTakes)
{
    EXPECT_EQ((Words{"get"}), bashCompletions({"ge"}));
    EXPECT_EQ((Words{"--replace", "--retries"}), bashCompletions({"get", "--re"}));
    EXPECT_EQ((Words{"--retries"}), bashCompletions({"resume", "--re"}));
    EXPECT_EQ((Words{"--user"}), bashCompletions({"resume", "--us"}));
    EXPECT_EQ((Words{"--listen", "--listen-host", "--log", "--log-level"}), bashCompletions({"serve", "--l"}));
    // "get" is the value of --data-dir here, so no command is named yet: global options only.
    EXPECT_EQ((Words{"--data-dir"}), bashCompletions({"--data-dir", "get", "--d"}));
    EXPECT_EQ((Words{"--data-dir", "--detach", "--dir"}), bashCompletions({"--data-dir", "x", "get", "--d"}));
    EXPECT_EQ((Words{"FILES-d"}), bashCompletions({"get", "-d", ""}));
    EXPECT_EQ((Words{"FILES"}), bashCompletions({"--config", ""}));
    EXPECT_EQ((Words{"Downloader/MaxDownloads=", "Downloader/MaxRate="}), bashCompletions({"--set", "Downloader/Max"}));
    EXPECT_EQ((Words{"debug"}), bashCompletions({"serve", "--log-level", "d"}));
    EXPECT_EQ((Words{"resume"}), bashCompletions({"help", "res"}));
    EXPECT_EQ((Words{}), bashCompletions({"get", "--sha1", ""}));
    // Without the bash-completion package: the same words, and folders and files from bash itself.
    Sandbox sandbox;
    ASSERT_TRUE(writeFile(sandbox.file("urls.txt"), "") && QDir().mkpath(sandbox.file("under").c_str()));
    EXPECT_EQ((Words{"--replace", "--retries"}), bashCompletions({"get", "--re"}, true));
    EXPECT_EQ((Words{"under"}), bashCompletions({"get", "-d", "u"}, true, sandbox.file("")));
    EXPECT_EQ((Words{"under", "urls.txt"}), bashCompletions({"get", "-i", "u"}, true, sandbox.file("")));
}

// What zsh offers after each of lines, each sorted.
std::vector<Words> zshCompletions(const QStringList& lines)
{
    const QByteArray out =
        run("zsh", QStringList{"-f", HAUL_SOURCE_DIR "/tests/cli/ZshCompletions.zsh", HAUL_DIST_DIR} + lines);
    std::vector<Words> offered(1);
    for (const QByteArray& line : out.split('\n')) {
        if (line == "END")
            offered.emplace_back();
        else if (line.startsWith("HIT:") && std::find(offered.back().begin(), offered.back().end(),
                                                      line.mid(4).toStdString()) == offered.back().end())
            offered.back().push_back(line.mid(4).toStdString());
    }
    offered.pop_back();
    for (Words& words : offered)
        std::sort(words.begin(), words.end());
    return offered;
}

// zsh is not everywhere; where it is, its script must offer what bash's does.
TEST(DistTest, ZshCompletionOffersWhatEachCommandTakes)
{
    if (QProcess::execute("sh", {"-c", "command -v zsh >/dev/null"}) != 0)
        GTEST_SKIP() << "no zsh here";
    const std::vector<Words> expected = {
        {"get"},
        {"--replace", "--retries"},
        {"--user"},
        {"--data-dir", "--detach", "--dir"},
        {"Downloader/MaxDownloads", "Downloader/MaxRate"},
        {"debug"},
        {"resume"},
    };
    EXPECT_EQ(expected, zshCompletions({"haul ge", "haul get --re", "haul resume --u", "haul --data-dir x get --d",
                                        "haul --set Downloader/Max", "haul serve --log-level d", "haul help res"}));
}

// What groff would warn about (an unknown escape, a request in the middle of a line) shows as
// stray text in the page a user reads.
TEST(DistTest, ManualPageRendersWithoutWarnings)
{
    QByteArray errors;
    const QByteArray page = run("groff", {"-man", "-Tascii", "-P-cbou", "-ww", HAUL_DIST_DIR "/haul.1"}, &errors);
    EXPECT_EQ("", errors.toStdString());
    EXPECT_FALSE(page.contains('@')) << page.toStdString();
    EXPECT_TRUE(page.contains("--replace")) << page.toStdString();
}

} // namespace
