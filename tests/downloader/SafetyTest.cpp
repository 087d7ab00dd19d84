#include "ContentDisposition.h"
#include "FtpServer.h"
#include "GeneratedBody.h"
#include "MessageBus.h"
#include "TransferFixture.h"

#include <QDir>
#include <QFile>

TEST(ContentDispositionTest, NamesCannotLeaveTheDestinationFolder)
{
    EXPECT_EQ("report.pdf", serverFilenameFromDisposition("attachment; filename=report.pdf"));
    EXPECT_EQ("report.pdf", serverFilenameFromDisposition("attachment; filename=\"report.pdf\""));
    // Everything after "=" is the name, as servers are taken at their word.
    EXPECT_EQ("a.txt; size=12", serverFilenameFromDisposition("attachment; filename=\"a.txt\"; size=12"));
    EXPECT_EQ("", serverFilenameFromDisposition("inline"));
    EXPECT_EQ("passwd", serverFilenameFromDisposition("attachment; filename=\"../../etc/passwd\""));
    EXPECT_EQ("evil.exe", serverFilenameFromDisposition("attachment; filename=..\\..\\evil.exe"));
    EXPECT_EQ("", serverFilenameFromDisposition("attachment; filename=\"/tmp/\""));
    EXPECT_EQ("", serverFilenameFromDisposition("attachment; filename=.."));
    EXPECT_EQ("", serverFilenameFromDisposition("attachment; filename=\".\""));
    EXPECT_EQ("ab.txt", serverFilenameFromDisposition(std::string("attachment; filename=a\x01\x1f\x7f") + "b.txt"));
    EXPECT_EQ("r\xc3\xa9sum\xc3\xa9 1.pdf",
              serverFilenameFromDisposition("attachment; filename=\"plain.pdf\"; filename*=UTF-8''r%C3%A9sum%C3%A9%201.pdf"));
    EXPECT_EQ("x.bin", serverFilenameFromDisposition("attachment; filename*=utf-8''..%2F..%2Fx.bin"));
    // An encoding it cannot read falls back to the plain name.
    EXPECT_EQ("plain.pdf", serverFilenameFromDisposition("attachment; filename*=KOI8-R''abc; filename=plain.pdf"));
}

TEST_F(TransferTest, TraversingServerNameStillLandsInTheDestination)
{
    Route route;
    route.body = "payload";
    route.headers.append(qMakePair(QByteArray("Content-Disposition"), QByteArray("attachment; filename=\"../escape.txt\"")));
    server.route("/t", route);
    startComponent();
    const auto reply = download("trav", url("/t"), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ(inFolder() + "/escape.txt", textOf(reply));
    EXPECT_FALSE(QFile::exists(sandbox.path() + "/escape.txt"));
}

TEST_F(TransferTest, RedirectsGoOnlyToNetworkSchemesAndRelativeTargetsAreResolved)
{
    Route toFile;
    toFile.status = 302;
    toFile.redirectTo = "file:///etc/passwd";
    server.route("/to-file", toFile);
    Route relative;
    relative.status = 302;
    relative.redirectTo = "there/data.bin";
    server.route("/dir/here", relative);
    Route target;
    target.body = "resolved";
    server.route("/dir/there/data.bin", target);
    startComponent();

    auto reply = download("file", url("/to-file"), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_EQ(261, codeOf(reply));
    EXPECT_EQ("Download failed.", textOf(reply));
    EXPECT_TRUE(partialFiles().isEmpty());

    reply = download("rel", url("/dir/here"), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType()) << textOf(reply);
    EXPECT_EQ("resolved", readAll(textOf(reply)));
}

TEST_F(TransferTest, CredentialsStayWithTheOriginalOrigin)
{
    TestHttpServer other;
    ASSERT_TRUE(other.start());
    Route guarded;
    guarded.body = "guarded";
    guarded.authUser = "ann";
    guarded.authPassword = "pw";
    other.route("/elsewhere.bin", guarded);
    server.route("/mine.bin", guarded);
    Route away;
    away.status = 302;
    away.redirectTo = other.url("/elsewhere.bin");
    server.route("/away", away);
    Route home;
    home.status = 302;
    home.redirectTo = "/mine.bin";
    server.route("/home", home);
    startComponent();

    startRequest("home", url("/home"), inFolder(), "", "ann", "pw");
    auto reply = awaitReply("home", 20000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType()) << textOf(reply);

    startRequest("away", url("/away"), inFolder(), "", "ann", "pw");
    reply = awaitReply("away", 20000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    // No credentials went to the other origin: "required", not "invalid".
    EXPECT_EQ(264, codeOf(reply));
    ASSERT_FALSE(other.requests().isEmpty());
    for (const RecordedRequest& request : other.requests())
        EXPECT_FALSE(request.hasHeader("Authorization"));
    other.stop();
}

TEST_F(TransferTest, FtpResumeStartsThePartialFileOver)
{
    const QString served = sandbox.path() + "/ftp";
    QDir().mkpath(served);
    const QByteArray content = GeneratedBody::content(8, 0, 300000);
    ASSERT_TRUE(writeFile(served + "/f.bin", content));
    FtpServer ftp;
    ASSERT_TRUE(ftp.start(served)) << ftp.errorString().toStdString();
    startComponent();

    const std::string address = "ftp://127.0.0.1:" + std::to_string(ftp.port()) + "/f.bin";
    HaulwrightPersistedRequest record{inFolder(), address, sha1Hex(content), inFolder() + "/f.part"};
    ASSERT_TRUE(writeFile(QString::fromStdString(record.temporalFilename), content.left(1000)));
    ASSERT_EQ(0, component->persistRequest("ftp-resume", record));
    send(makeMessage("Resume", "ftp-resume"));
    const auto reply = awaitReply("ftp-resume", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType()) << textOf(reply);
    EXPECT_EQ(content, readAll(textOf(reply)));
}
