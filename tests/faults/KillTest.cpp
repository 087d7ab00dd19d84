// The host killed with SIGKILL after it stored the request and before the first byte arrived:
// the record survives in the store and a later run resumes it to the end.
#include "HaulProcess.h"
#include "Sandbox.h"
#include "TestHttpServer.h"

#include <QProcess>
#include <gtest/gtest.h>

TEST(HostKillTest, RecordStoredBeforeTheFirstByteSurvivesSigkillAndResumes)
{
    Sandbox sandbox;
    ASSERT_TRUE(sandbox.isValid());
    const QString dataDir = sandbox.filePath("data");
    const qint64 size = 200000;
    Route stalled;
    stalled.generatedSize = size;
    stalled.seed = 29;
    stalled.stallAfterHeadersMs = -1;
    TestHttpServer server;
    server.route("/killed.bin", stalled);
    ASSERT_TRUE(server.start());

    QProcess host;
    host.setProcessChannelMode(QProcess::MergedChannels);
    host.start(HaulProcess::program(), {"--data-dir", dataDir, "get", server.url("/killed.bin"), "--id", "killed"});
    ASSERT_TRUE(host.waitForStarted(10000));
    ASSERT_EQ(1, server.waitForRequests(1, 20000)) << host.readAll().toStdString();
    host.kill();
    ASSERT_TRUE(host.waitForFinished(10000));
    EXPECT_EQ(QProcess::CrashExit, host.exitStatus());

    HaulProcess haul(dataDir);
    const HaulProcess::Result listed = haul.run({"--json", "list"});
    EXPECT_EQ(0, listed.exitCode) << listed.all().toStdString();
    EXPECT_TRUE(listed.out.contains("\"id\":\"killed\"")) << listed.all().toStdString();
    EXPECT_TRUE(listed.out.contains("\"url\":\"" + server.url("/killed.bin").toUtf8() + "\""))
        << listed.all().toStdString();

    Route whole;
    whole.generatedSize = size;
    whole.seed = 29;
    server.route("/killed.bin", whole);
    const HaulProcess::Result resumed = haul.run({"resume", "killed"});
    EXPECT_EQ(0, resumed.exitCode) << resumed.all().toStdString();
    EXPECT_EQ(TestHttpServer::generatedContent(29, 0, size), sandbox.readFile("data/download/killed.bin"));
    EXPECT_TRUE(haul.run({"list"}).out.contains("no persisted downloads"));
}
