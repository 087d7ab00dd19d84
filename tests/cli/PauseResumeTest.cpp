// Ctrl-C pauses, and the persisted requests are listed, resumed and aborted by later runs.
#include "HaulProcess.h"
#include "Sandbox.h"
#include "TestHttpServer.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

const qint64 slowSize = 8 * 1000 * 1000;
const qint64 slowRate = 2 * 1000 * 1000;
const quint32 slowSeed = 11;

class PauseResumeTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sandbox.isValid());
        Route route;
        route.generatedSize = slowSize;
        route.seed = slowSeed;
        route.bytesPerSecond = slowRate;
        server.route("/slow.bin", route);
        ASSERT_TRUE(server.start());
    }

    // Starts a download of /slow.bin under id and interrupts it once progress was shown.
    HaulProcess::Result interruptedGet(const QString& id)
    {
        HaulProcess running(sandbox.filePath("data"));
        running.start({"--set", "Downloader/StatusInterval=200", "get", server.url("/slow.bin"), "--id", id});
        EXPECT_TRUE(running.waitForOutput("slow.bin ", 20000)) << "no progress line";
        running.interrupt();
        return running.finish();
    }

    Sandbox sandbox;
    TestHttpServer server;
    HaulProcess haul{sandbox.filePath("data")};
};

TEST_F(PauseResumeTest, InterruptPausesThenListAndResumeCompleteTheFile)
{
    const HaulProcess::Result interrupted = interruptedGet("paused-one");
    ASSERT_FALSE(interrupted.crashed);
    EXPECT_EQ(130, interrupted.exitCode) << interrupted.all().toStdString();
    EXPECT_TRUE(interrupted.out.contains("paused: slow.bin")) << interrupted.out.toStdString();
    EXPECT_TRUE(interrupted.out.contains("resume paused-one")) << interrupted.out.toStdString();
    EXPECT_TRUE(interrupted.out.contains("--data-dir")) << interrupted.out.toStdString();
    EXPECT_FALSE(sandbox.exists("data/download/slow.bin"));

    const HaulProcess::Result listed = haul.run({"list"});
    EXPECT_EQ(0, listed.exitCode);
    EXPECT_TRUE(listed.out.contains("paused-one")) << listed.out.toStdString();
    EXPECT_TRUE(listed.out.contains(server.url("/slow.bin").toUtf8())) << listed.out.toStdString();
    // Some bytes were kept, not all of them.
    const QRegularExpressionMatch size = QRegularExpression("\\((\\d+) bytes\\)").match(QString::fromUtf8(listed.out));
    ASSERT_TRUE(size.hasMatch()) << listed.out.toStdString();
    const qint64 kept = size.captured(1).toLongLong();
    EXPECT_GT(kept, 0) << listed.out.toStdString();
    EXPECT_LT(kept, slowSize) << listed.out.toStdString();

    server.clearRequests();
    const HaulProcess::Result resumed = haul.run({"resume", "paused-one"});
    EXPECT_EQ(0, resumed.exitCode) << resumed.all().toStdString();
    EXPECT_TRUE(resumed.out.contains("saved: " + QDir::cleanPath(sandbox.filePath("data/download/slow.bin")).toUtf8()))
        << resumed.out.toStdString();
    EXPECT_EQ(TestHttpServer::generatedContent(slowSeed, 0, slowSize), sandbox.readFile("data/download/slow.bin"));
    const QList<RecordedRequest> requests = server.requests();
    ASSERT_EQ(1, requests.size());
    EXPECT_EQ("bytes=" + QByteArray::number(kept) + "-", requests.first().header("Range"));

    EXPECT_TRUE(haul.run({"list"}).out.contains("no persisted downloads"));
}

TEST_F(PauseResumeTest, AbortDiscardsAPausedDownloadOnce)
{
    ASSERT_EQ(130, interruptedGet("to-abort").exitCode);
    const QStringList partials = QDir(sandbox.filePath("data/download")).entryList({"*.part"}, QDir::Files);
    ASSERT_EQ(1, partials.size());

    const HaulProcess::Result aborted = haul.run({"abort", "to-abort"});
    EXPECT_EQ(0, aborted.exitCode) << aborted.all().toStdString();
    EXPECT_TRUE(aborted.out.contains("aborted: to-abort")) << aborted.out.toStdString();
    EXPECT_FALSE(sandbox.exists("data/download/" + partials.first()));
    EXPECT_FALSE(haul.run({"list"}).out.contains("to-abort"));

    const HaulProcess::Result again = haul.run({"abort", "to-abort"});
    EXPECT_EQ(1, again.exitCode);
    EXPECT_TRUE(again.out.contains("code 272")) << again.out.toStdString();
}

TEST_F(PauseResumeTest, ResumeAllContinuesEveryPausedDownload)
{
    ASSERT_EQ(130, interruptedGet("first").exitCode);
    ASSERT_EQ(130, interruptedGet("second").exitCode);
    const HaulProcess::Result resumed = haul.run({"--quiet", "resume", "--all"});
    EXPECT_EQ(0, resumed.exitCode) << resumed.all().toStdString();
    EXPECT_EQ(2, resumed.out.count("saved: ")) << resumed.out.toStdString();
    // Quiet: result lines only.
    EXPECT_EQ(2, resumed.out.count('\n')) << resumed.out.toStdString();
    // Both went to the same name: the second is kept under a unique one.
    const QStringList saved = QDir(sandbox.filePath("data/download")).entryList({"slow*"}, QDir::Files);
    EXPECT_EQ(2, saved.size()) << saved.join(' ').toStdString();
    for (const QString& name : saved)
        EXPECT_EQ(TestHttpServer::generatedContent(slowSeed, 0, slowSize), sandbox.readFile("data/download/" + name))
            << name.toStdString();
}

TEST_F(PauseResumeTest, UnknownIdentifiersAreAnsweredByTheComponent)
{
    const HaulProcess::Result resumed = haul.run({"resume", "never-started"});
    EXPECT_EQ(1, resumed.exitCode);
    EXPECT_TRUE(resumed.out.contains("Unknown filename to be resumed")) << resumed.out.toStdString();
    EXPECT_TRUE(resumed.out.contains("code 269")) << resumed.out.toStdString();

    const HaulProcess::Result aborted = haul.run({"--json", "abort", "never-started"});
    EXPECT_EQ(1, aborted.exitCode);
    EXPECT_TRUE(aborted.out.startsWith("{")) << aborted.out.toStdString();
    EXPECT_TRUE(aborted.out.contains("\"code\":272")) << aborted.out.toStdString();
}

} // namespace
