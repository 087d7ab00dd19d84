// Argument errors are refused before anything is started: exit 2, usage on stderr.
#include "HaulProcess.h"
#include "Sandbox.h"

#include <gtest/gtest.h>

namespace {

struct BadArguments
{
    const char* name;
    QStringList args;
    const char* complaint;
};

class UsageTest : public testing::TestWithParam<BadArguments>
{
};

TEST_P(UsageTest, ExitsTwoWithUsage)
{
    Sandbox sandbox;
    HaulProcess haul(sandbox.filePath("data"));
    const HaulProcess::Result result = haul.run(GetParam().args);
    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(2, result.exitCode) << result.all().toStdString();
    EXPECT_TRUE(result.err.contains(GetParam().complaint)) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains("Usage: haul")) << result.err.toStdString();
    EXPECT_TRUE(result.out.isEmpty()) << result.out.toStdString();
    // Refused before the data directory was touched.
    EXPECT_FALSE(sandbox.exists("data"));
}

const BadArguments badArguments[] = {
    {"NoCommand", {}, "no command"},
    {"UnknownCommand", {"fetch", "http://127.0.0.1/x"}, "unknown command"},
    {"GetWithoutUrl", {"get"}, "at least one URL"},
    {"GetNotAUrl", {"get", "just-a-name"}, "not an http, https or ftp URL"},
    {"GetUnsupportedScheme", {"get", "file:///etc/passwd"}, "not an http, https or ftp URL"},
    {"ShortDigest", {"get", "http://127.0.0.1/x", "--sha1", "abc"}, "40 hexadecimal digits"},
    {"DigestNotHex", {"get", "http://127.0.0.1/x", "--sha1", QString(40, 'g')}, "40 hexadecimal digits"},
    {"IdForTwoUrls", {"get", "http://127.0.0.1/a", "http://127.0.0.1/b", "--id", "x"}, "single URL"},
    {"MissingValue", {"get", "http://127.0.0.1/x", "--sha1"}, "needs a value"},
    {"UnknownOption", {"get", "--fast", "http://127.0.0.1/x"}, "unknown option --fast"},
    {"OptionOfAnotherCommand", {"list", "--all"}, "list does not take --all"},
    {"SetWithoutEquals", {"--set", "Downloader/MaxDownloads", "list"}, "KEY=VALUE"},
    {"ResumeIdsAndAll", {"resume", "--all", "some-id"}, "not both"},
    {"ResumeNothing", {"resume"}, "identifiers or --all"},
    {"AbortNothing", {"abort"}, "at least one identifier"},
    {"ListWithArgument", {"list", "extra"}, "takes no arguments"},
    {"MissingInputFile", {"get", "-i", "/nonexistent/urls.txt"}, "cannot read"},
};

INSTANTIATE_TEST_SUITE_P(Arguments, UsageTest, testing::ValuesIn(badArguments),
                         [](const testing::TestParamInfo<BadArguments>& info) { return info.param.name; });

TEST(HelpTest, HelpGoesToStdoutWithStatusZero)
{
    Sandbox sandbox;
    HaulProcess haul(sandbox.filePath("data"));
    const HaulProcess::Result general = haul.run({"--help"});
    EXPECT_EQ(0, general.exitCode);
    for (const char* command : {"get", "resume", "abort", "list", "demo", "--json", "--set"})
        EXPECT_TRUE(general.out.contains(command)) << command;

    const HaulProcess::Result get = haul.run({"get", "--help"});
    EXPECT_EQ(0, get.exitCode);
    EXPECT_TRUE(get.out.contains("--sha1")) << get.out.toStdString();
    EXPECT_TRUE(get.out.contains("130")) << get.out.toStdString();
    EXPECT_EQ(get.out, haul.run({"help", "get"}).out);
}

} // namespace
