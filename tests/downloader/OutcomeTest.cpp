#include "Configuration.h"
#include "TransferFixture.h"

#include <QDir>
#include <QFile>

namespace {

Route bodyRoute(const QByteArray& content)
{
    Route route;
    route.body = content;
    return route;
}

} // namespace

TEST_F(TransferTest, CompleteFileIsMovedUnderItsFinalNameAndTheRecordRemoved)
{
    const QByteArray content = body(300000, 1);
    server.route("/files/a.zip", bodyRoute(content));
    startComponent();

    auto reply = download("c1", url("/files/a.zip"), "", sha1Hex(content));
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    EXPECT_EQ(0, codeOf(reply));
    EXPECT_EQ(dataPath + "download/a.zip", textOf(reply));
    EXPECT_EQ(content, readAll(textOf(reply)));
    EXPECT_TRUE(partialFiles().isEmpty());
    HaulwrightPersistedRequest record;
    EXPECT_FALSE(persisted("c1", record));
    EXPECT_EQ(0u, component->activeCount());
    EXPECT_EQ("identity", server.requests().value(0).header("Accept-Encoding").toStdString());

    // The same file again lands beside the first, which stays untouched.
    reply = download("c2", url("/files/a.zip"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(dataPath + "download/a_2.zip", textOf(reply));
    EXPECT_EQ(content, readAll(dataPath + "download/a.zip"));
    EXPECT_TRUE(logTexts().empty());
}

TEST_F(TransferTest, ServerFileNameNamesTheFinalFile)
{
    Route route = bodyRoute("pdf bytes");
    route.headers.append(qMakePair(QByteArray("Content-Disposition"), QByteArray("attachment; filename=\"report.pdf\"")));
    server.route("/get", route);
    startComponent();
    const auto reply = download("cd", url("/get?id=3"), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    EXPECT_EQ(inFolder() + "/report.pdf", textOf(reply));
}

TEST_F(TransferTest, FailedAnswersReportTheirCodeAndKeepTheRecordForAResume)
{
    Route accepted;
    accepted.status = 202;
    accepted.body = "later";
    server.route("/202", accepted);
    Route gone;
    gone.status = 410;
    gone.body = "gone";
    server.route("/410", gone);
    Route empty;
    empty.body = "";
    empty.sendContentLength = false;
    server.route("/empty", empty);
    startComponent();

    struct Row
    {
        const char* session;
        const char* path;
        int code;
        const char* text; // null: the network library's own text
    };
    for (const Row& row : {Row{"f202", "/202", 261, "Download failed."},
                           Row{"f410", "/410", 266, "Download failed: The requested file is not longer available"},
                           Row{"f404", "/missing", 260, nullptr},
                           Row{"fempty", "/empty", 259, "Download failed: Connection closed prematurely."}}) {
        const auto reply = download(row.session, url(row.path));
        ASSERT_TRUE(reply) << row.path;
        EXPECT_EQ("WasFailed", reply->getMessageType()) << row.path;
        EXPECT_EQ(row.code, codeOf(reply)) << row.path;
        if (row.text)
            EXPECT_EQ(row.text, textOf(reply));
        else
            EXPECT_NE(std::string::npos, textOf(reply).find("Not Found")) << textOf(reply);
        HaulwrightPersistedRequest record;
        EXPECT_TRUE(persisted(row.session, record)) << row.path;
        EXPECT_EQ(url(row.path), record.url);
        // No byte of the file arrived: no partial file is left.
        EXPECT_FALSE(QFile::exists(QString::fromStdString(record.temporalFilename))) << row.path;
    }
}

TEST_F(TransferTest, DigestMismatchFailsAndDeletesThePartialFile)
{
    server.route("/d.bin", bodyRoute(body(5000, 2)));
    startComponent();
    const auto reply = download("dg", url("/d.bin"), inFolder(), sha1Hex("something else"));
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_EQ(274, codeOf(reply));
    EXPECT_EQ("Digest verification failed", textOf(reply));
    EXPECT_TRUE(partialFiles().isEmpty());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(inFolder() + "/d.bin")));
}

TEST_F(TransferTest, DigestInCapitalsPasses)
{
    const QByteArray content = body(70000, 3);
    server.route("/u.bin", bodyRoute(content));
    startComponent();
    std::string hash = sha1Hex(content);
    for (char& c : hash)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto reply = download("up", url("/u.bin"), inFolder(), hash);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
}

TEST_F(TransferTest, DestinationThatCannotBeCreatedSendsNoRequest)
{
    server.route("/x", bodyRoute("x"));
    startComponent();
    const auto reply = download("nodir", url("/x"), inFolder() + "/does/not/exist");
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_EQ(258, codeOf(reply));
    EXPECT_EQ("Could not create destination file", textOf(reply));
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(TransferTest, SilentServerTimesOut)
{
    Configuration::instance().set("Downloader/RequestTimeout", "300");
    Route stall = bodyRoute(body(10000, 4));
    stall.stallAfterBytes = 2000;
    stall.stallMs = -1;
    server.route("/stall", stall);
    startComponent();
    const auto reply = download("to", url("/stall"));
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_EQ(273, codeOf(reply));
    EXPECT_EQ("No response from the endpoint - timeout occurred", textOf(reply));
    HaulwrightPersistedRequest record;
    EXPECT_TRUE(persisted("to", record));
}

TEST_F(TransferTest, AuthenticationOutcomes)
{
    Route secret = bodyRoute("secret body");
    secret.authUser = "ann";
    secret.authPassword = "pw";
    server.route("/secret", secret);
    startComponent();

    startRequest("noauth", url("/secret"));
    auto reply = awaitReply("noauth");
    ASSERT_TRUE(reply);
    EXPECT_EQ(264, codeOf(reply));
    EXPECT_EQ("Download failed: Server replied Authorization Required.", textOf(reply));

    startRequest("badauth", url("/secret"), "", "", "ann", "wrong");
    reply = awaitReply("badauth");
    ASSERT_TRUE(reply);
    EXPECT_EQ(263, codeOf(reply));
    EXPECT_EQ("Download failed: Invalid username and/or password.", textOf(reply));

    server.clearRequests();
    startRequest("goodauth", url("/secret"), inFolder(), "", "ann", "pw");
    reply = awaitReply("goodauth");
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    EXPECT_EQ("secret body", readAll(textOf(reply)));
    bool sawCredentials = false;
    for (const RecordedRequest& request : server.requests())
        sawCredentials |= request.header("Authorization") == "Basic " + QByteArray("ann:pw").toBase64();
    EXPECT_TRUE(sawCredentials);
}
