// haul get against a scripted loopback server: saved files, failures, JSON lines, queue.
#include "HaulProcess.h"
#include "Sandbox.h"
#include "TestHttpServer.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <gtest/gtest.h>

namespace {

const qint64 fileSize = 3 * 1000 * 1000 + 17;

Route generated(qint64 size, quint32 seed, qint64 bytesPerSecond = 0)
{
    Route route;
    route.generatedSize = size;
    route.seed = seed;
    route.bytesPerSecond = bytesPerSecond;
    return route;
}

QString sha1Hex(quint32 seed, qint64 size)
{
    return QString::fromLatin1(TestHttpServer::generatedSha1(seed, size).toHex());
}

QList<QJsonObject> jsonLines(const QByteArray& out)
{
    QList<QJsonObject> objects;
    for (const QByteArray& line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(QJsonParseError::NoError, error.error) << line.toStdString();
        EXPECT_TRUE(document.isObject()) << line.toStdString();
        objects.append(document.object());
    }
    return objects;
}

class GetTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sandbox.isValid());
        ASSERT_TRUE(server.start());
    }

    QString data(const QString& name) const { return sandbox.filePath("data/" + name); }

    Sandbox sandbox;
    TestHttpServer server;
    HaulProcess haul{sandbox.filePath("data")};
};

TEST_F(GetTest, SavesServedFileAndPrintsItsPath)
{
    server.route("/data.bin", generated(fileSize, 3));
    const HaulProcess::Result result =
        haul.run({"get", server.url("/data.bin"), "--sha1", sha1Hex(3, fileSize).toUpper()});
    ASSERT_FALSE(result.crashed);
    EXPECT_EQ(0, result.exitCode) << result.all().toStdString();
    const QString saved = QDir::cleanPath(data("download/data.bin"));
    EXPECT_TRUE(result.out.contains("saved: " + saved.toUtf8())) << result.out.toStdString();
    EXPECT_EQ(TestHttpServer::generatedContent(3, 0, fileSize), sandbox.readFile("data/download/data.bin"));
    // Finished downloads leave no persisted request behind.
    EXPECT_TRUE(haul.run({"list"}).out.contains("no persisted downloads"));
}

TEST_F(GetTest, WrongDigestFailsWithCode274AndKeepsNoFile)
{
    server.route("/data.bin", generated(fileSize, 3));
    const HaulProcess::Result result = haul.run({"get", server.url("/data.bin"), "--sha1", QString(40, '0')});
    EXPECT_EQ(1, result.exitCode) << result.all().toStdString();
    EXPECT_TRUE(result.out.contains("Digest verification failed")) << result.out.toStdString();
    EXPECT_TRUE(result.out.contains("code 274")) << result.out.toStdString();
    EXPECT_FALSE(sandbox.exists("data/download/data.bin"));
}

TEST_F(GetTest, OneFailureAmongSuccessesGivesStatusOneAndEveryResult)
{
    server.route("/good.bin", generated(100000, 5));
    Route missing;
    missing.status = 404;
    missing.body = "not here";
    server.route("/missing.bin", missing);
    const QString destination = sandbox.filePath("out/nested");
    const HaulProcess::Result result =
        haul.run({"get", "-d", destination, server.url("/missing.bin"), server.url("/good.bin")});
    EXPECT_EQ(1, result.exitCode) << result.all().toStdString();
    EXPECT_TRUE(result.out.contains("saved: " + QDir::cleanPath(destination + "/good.bin").toUtf8()))
        << result.out.toStdString();
    EXPECT_TRUE(result.out.contains("failed: missing.bin")) << result.out.toStdString();
    EXPECT_TRUE(result.out.contains("code ")) << result.out.toStdString();
    EXPECT_EQ(TestHttpServer::generatedContent(5, 0, 100000), sandbox.readFile("out/nested/good.bin"));
}

TEST_F(GetTest, JsonReportsProgressAndReplyOnePerLine)
{
    const qint64 size = 2 * 1000 * 1000;
    server.route("/slow.bin", generated(size, 9, 2 * 1000 * 1000));
    const HaulProcess::Result result = haul.run(
        {"--json", "--set", "Downloader/StatusInterval=100", "get", server.url("/slow.bin"), "--id", "json-session"});
    EXPECT_EQ(0, result.exitCode) << result.all().toStdString();
    const QList<QJsonObject> objects = jsonLines(result.out);
    ASSERT_GE(objects.size(), 2) << result.out.toStdString();

    int progressCount = 0;
    double lastBytes = -1;
    for (const QJsonObject& object : objects.mid(0, objects.size() - 1)) {
        EXPECT_EQ("Progress", object.value("type").toString());
        EXPECT_EQ("json-session", object.value("session").toString());
        EXPECT_EQ("event://Client/Service/DownloadStatus/json-session", object.value("topic").toString());
        ASSERT_TRUE(object.value("currentBytes").isDouble());
        EXPECT_EQ(double(size), object.value("totalBytes").toDouble());
        EXPECT_TRUE(object.value("bytesPerSecond").isDouble());
        EXPECT_GE(object.value("currentBytes").toDouble(), lastBytes);
        lastBytes = object.value("currentBytes").toDouble();
        EXPECT_FALSE(object.contains("code"));
        ++progressCount;
    }
    EXPECT_GE(progressCount, 1);

    const QJsonObject reply = objects.last();
    EXPECT_EQ("WasFinished", reply.value("type").toString());
    EXPECT_EQ("json-session", reply.value("session").toString());
    EXPECT_TRUE(reply.value("topic").toString().startsWith("client://haul/"));
    EXPECT_EQ(0, reply.value("code").toInt(-1));
    EXPECT_EQ(QDir::cleanPath(data("download/slow.bin")), reply.value("text").toString());
    EXPECT_FALSE(reply.contains("currentBytes"));
}

TEST_F(GetTest, MoreUrlsThanTheLimitAreQueuedNotRefused)
{
    QStringList urls;
    for (int i = 0; i < 5; ++i) {
        const QString path = QString("/queued%1.bin").arg(i);
        server.route(path, generated(400000, 20 + i, 1000 * 1000));
        urls << server.url(path);
    }
    const HaulProcess::Result result =
        haul.run(QStringList{"--json", "--set", "Downloader/MaxDownloads=2", "get"} + urls, 120000);
    EXPECT_EQ(0, result.exitCode) << result.all().toStdString();
    int finished = 0;
    for (const QJsonObject& object : jsonLines(result.out)) {
        // A refusal (257) would mean haul sent more than the limit allowed.
        EXPECT_NE("DownloaderError", object.value("type").toString().toStdString())
            << object.value("text").toString().toStdString();
        finished += object.value("type").toString() == "WasFinished";
    }
    EXPECT_EQ(5, finished);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(TestHttpServer::generatedContent(20 + i, 0, 400000),
                  sandbox.readFile(QString("data/download/queued%1.bin").arg(i)))
            << i;
}

TEST_F(GetTest, UrlFileSkipsCommentsAndBlankLines)
{
    server.route("/a.bin", generated(1000, 1));
    server.route("/b.bin", generated(2000, 2));
    ASSERT_TRUE(sandbox.writeFile("urls.txt", "# two files\n\n" + server.url("/a.bin").toUtf8() + "\n   \n  " +
                                                  server.url("/b.bin").toUtf8() + "  \n# end\n"));
    const HaulProcess::Result result = haul.run({"get", "-i", sandbox.filePath("urls.txt")});
    EXPECT_EQ(0, result.exitCode) << result.all().toStdString();
    EXPECT_EQ(2, result.out.count("saved: ")) << result.out.toStdString();
    EXPECT_EQ(2, server.requests().size());
    EXPECT_EQ(TestHttpServer::generatedContent(2, 0, 2000), sandbox.readFile("data/download/b.bin"));
}

TEST_F(GetTest, PasswordComesFromTheEnvironmentAndStaysOutOfTheLog)
{
    Route route = generated(5000, 4);
    route.authUser = "alice";
    route.authPassword = "s3cret-Pa55";
    server.route("/private.bin", route);
    const QString log = sandbox.filePath("haul.log");

    haul.setEnv("HAUL_PASSWORD", "wrong-guess");
    const HaulProcess::Result refused = haul.run({"--log", log, "get", server.url("/private.bin"), "--user", "alice"});
    EXPECT_EQ(1, refused.exitCode) << refused.all().toStdString();
    EXPECT_TRUE(refused.out.contains("code 263")) << refused.out.toStdString();

    haul.setEnv("HAUL_PASSWORD", "s3cret-Pa55");
    const HaulProcess::Result accepted = haul.run({"--log", log, "get", server.url("/private.bin"), "--user", "alice"});
    EXPECT_EQ(0, accepted.exitCode) << accepted.all().toStdString();
    EXPECT_EQ(TestHttpServer::generatedContent(4, 0, 5000), sandbox.readFile("data/download/private.bin"));

    QByteArray everything = sandbox.readFile("haul.log") + refused.out + refused.err + accepted.out + accepted.err;
    // The store holds requests, never credentials.
    for (const QString& name : QDir(data("store")).entryList(QDir::Files))
        everything += sandbox.readFile("data/store/" + name);
    EXPECT_FALSE(everything.contains("s3cret-Pa55"));
    EXPECT_FALSE(everything.contains("wrong-guess"));
}

TEST_F(GetTest, ConfigurationFileReachesTheComponentAndSetOverridesIt)
{
    server.route("/data.bin", generated(1000, 6));
    // A limit of nothing at all: every start is refused by the component itself.
    ASSERT_TRUE(sandbox.writeFile("haul.ini", "[Downloader]\nMaxDownloads=0\n"));
    const QString config = sandbox.filePath("haul.ini");
    const HaulProcess::Result refused = haul.run({"--config", config, "get", server.url("/data.bin")});
    EXPECT_EQ(1, refused.exitCode) << refused.all().toStdString();
    EXPECT_TRUE(refused.out.contains("Max number of allowed concurrent downloads reached (code 257)"))
        << refused.out.toStdString();
    EXPECT_EQ(0, server.requests().size());

    const HaulProcess::Result allowed =
        haul.run({"--config", config, "--set", "Downloader/MaxDownloads=1", "get", server.url("/data.bin")});
    EXPECT_EQ(0, allowed.exitCode) << allowed.all().toStdString();

    EXPECT_EQ(1, haul.run({"--config", sandbox.filePath("missing.ini"), "list"}).exitCode);
}

} // namespace
