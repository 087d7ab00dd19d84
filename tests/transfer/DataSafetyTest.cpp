// What a download must never lose, mix or leak across faults, crashes and changed files.
#include "ComponentFixture.h"
#include "FtpServer.h"
#include "MessageBus.h"

#include <QFile>
#include <QProcess>
#include <QUrl>

namespace {

const std::string kCutShort = "Download failed: Connection closed prematurely.";

bool immutable(const std::string& path, bool on)
{
    return QProcess::execute("chattr", {on ? "+i" : "-i", QString::fromStdString(path)}) == 0;
}

// A resume sends If-Range with the validator of the first answer; a changed file answers 200 and
// the partial file starts over, so no file mixes two versions.
TEST_F(ComponentTest, ResumeContinuesOnlyTheSameFile)
{
    startComponent();
    const std::string date = "h=Last-Modified:Sun,%2006%20Dec%202026%2010:00:00%20GMT";
    const std::string later = "h=Last-Modified:Mon,%2007%20Dec%202026%2010:00:00%20GMT";
    for (const auto& [name, before, after, ifRange, seed] :
         std::vector<std::tuple<std::string, std::string, std::string, QByteArray, quint32>>{
             {"same", "h=ETag:%22v1%22", "h=ETag:%22v1%22", "\"v1\"", 37},
             {"etag", "h=ETag:%22v1%22", "h=ETag:%22v2%22", "\"v1\"", 38},
             {"date", date, later, "Sun, 06 Dec 2026 10:00:00 GMT", 38},
             {"weak", "h=ETag:W/%22v1%22&" + date, "h=ETag:W/%22v1%22&" + date, "Sun, 06 Dec 2026 10:00:00 GMT", 37}}) {
        SCOPED_TRACE(name);
        const QString path = QString::fromStdString("/" + name);
        server.script(path, QString::fromStdString("size=60000&seed=37&cut=20000&" + before));
        EXPECT_TRUE(isReport(download(name, server.url(path), in()), "WasFailed", 259, kCutShort));
        server.script(path, QString::fromStdString("size=60000&seed=" + std::to_string(seed) + "&" + after));
        server.clearRequests();
        EXPECT_TRUE(isReport(resume(name), "WasFinished", 0, in(name)));
        EXPECT_EQ(ifRange, server.requests().value(0).header("If-Range"));
        EXPECT_EQ(body(60000, seed), readFile(in(name)));
    }
}

// A record left by a completion killed after its move: the Resume finishes without a transfer
// when the file is the one moved (size, digest), and fetches it again otherwise.
TEST_F(ComponentTest, ResumeAfterACrashedCompletionFindsTheMovedFile)
{
    const QByteArray content = body(40000, 34);
    startComponent();
    for (const auto& [name, hash, size, transfer] :
         std::vector<std::tuple<std::string, std::string, std::string, bool>>{
             {"same", sha1Hex(content), "40000", false},
             {"nodigest", "", "40000", false},
             {"size", "", "39999", true},
             {"digest", sha1Hex(content.left(10)), "40000", true}}) {
        SCOPED_TRACE(name);
        QFile::remove(QString::fromStdString(in("done_2.bin")));
        ASSERT_TRUE(writeFile(in("done.bin"), content));
        component->persistRequest(
            name, {in(), server.url("/done.bin?size=40000&seed=34"), hash, in("gone.part"), in("done.bin"), size, ""});
        server.clearRequests();
        const Message reply = resume(name);
        EXPECT_EQ(transfer, !server.requests().isEmpty());
        if (transfer)
            continue;
        EXPECT_TRUE(isReport(reply, "WasFinished", 0, in("done.bin")));
        EXPECT_FALSE(fileExists(in("done_2.bin"))) << "no second copy";
        EXPECT_EQ("", recordedPartial(name));
    }
}

// A move that fails keeps partial file and record (271); a
// Resume after the cause is gone moves it.
TEST_F(ComponentTest, FailedMoveKeepsTheDataAndAResumeMovesIt)
{
    startComponent();
    start("m", server.url("/move.bin?size=200000&seed=33&stall=1500&at=1000"), in());
    ASSERT_TRUE(waitRunning("m"));
    ASSERT_TRUE(waitUntil([&] { return fileSize(recordedPartial("m")) >= 1000; }));
    // An immutable folder: the open partial file can still be written, no name can be added.
    if (!immutable(in(), true))
        GTEST_SKIP() << "chattr +i is not available here";
    const Message failed = awaitReply("m");
    MessageBus::instance().waitIdle(10000);
    immutable(in(), false);
    EXPECT_TRUE(isReport(failed, "WasFailed", 271, "Cannot save the specified filename"));
    HaulwrightPersistedRequest record;
    ASSERT_TRUE(persisted("m", record));
    EXPECT_EQ(200000, fileSize(record.temporalFilename));
    EXPECT_TRUE(isReport(resume("m"), "WasFinished", 0, in("move.bin")));
    EXPECT_EQ(body(200000, 33), readFile(in("move.bin")));
    EXPECT_FALSE(fileExists(record.temporalFilename));
}

// The session identifier never becomes a path; the partial file is never opened through a link.
TEST_F(ComponentTest, PartialFileStaysInTheFolderAndIsNeverALink)
{
    startComponent();
    EXPECT_TRUE(isReport(download("../esc", server.url("/esc.bin?size=5000&seed=36&cut=2000"), in()), "WasFailed", 259,
                         kCutShort));
    const std::string partial = recordedPartial("../esc");
    EXPECT_EQ(in(), partial.substr(0, in().size()));
    EXPECT_EQ(std::string::npos, partial.find('/', in().size())) << partial;

    ASSERT_TRUE(writeFile(sandbox.file("victim"), "victim"));
    QFile::remove(QString::fromStdString(partial));
    ASSERT_TRUE(QFile::link(QString::fromStdString(sandbox.file("victim")), QString::fromStdString(partial)));
    EXPECT_TRUE(isReport(resume("../esc"), "WasFailed", 258, "Could not create destination file"));
    EXPECT_EQ("victim", readFile(sandbox.file("victim")));
}

// Pause and Abort that arrive before the first request, and a Start admitted while the component
// stops: no request is sent; Pause keeps record and partial file without a report; Abort is
// answered as for a paused download and removes both.
TEST_F(ComponentTest, PauseOrAbortBeforeTheFirstRequestIsHonoured)
{
    for (const auto& [request, kept, report] : std::vector<std::tuple<std::string, bool, std::string>>{
             {"Pause", true, ""}, {"Abort", false, "WasAborted"}, {"", true, ""}}) {
        SCOPED_TRACE(request);
        Haulwright& haul = startComponent();
        const std::string id = "early" + request;
        const std::string partial = in(id + ".part");
        const std::string url = server.url("/early.bin?size=5000");
        if (request.empty())
            haul.stop();
        ASSERT_EQ(Code::Ok, haul.claimSession(UUId(id), false));
        haul.persistRequest(id, {in(), url, "", partial});
        IDownloader* transfer = haul.createDownloader(partial, makeMessage("Start", id, startPayload(url, in())));
        haul.registerDownload(UUId(id), transfer);
        if (!request.empty())
            haul.onMessage(makeMessage(request, id));
        transfer->start();
        MessageBus::instance().waitIdle(10000);
        EXPECT_TRUE(server.requests().isEmpty());
        EXPECT_EQ(0u, haul.activeCount());
        EXPECT_EQ(kept, recordedPartial(id) == partial);
        EXPECT_EQ(kept, fileExists(partial));
        if (report.empty()) {
            EXPECT_TRUE(repliesFor(id).empty());
        } else {
            EXPECT_TRUE(isReport(awaitReply(id), report, 0, "Download aborted"));
        }
        destroyComponent();
    }
}

// The ftp rule and the credential rule follow the request actually sent, not the first URL.
TEST_F(ComponentTest, RedirectsChangeTheRulesThatApply)
{
    ASSERT_TRUE(writeFile(sandbox.file("ftp/whole.bin"), body(30000, 41)));
    FtpServer ftp;
    ASSERT_TRUE(ftp.start(sandbox.file("ftp")));
    ScriptServer other;
    ASSERT_TRUE(other.start());
    startComponent();

    // A resume redirected to ftp (which ignores Range) starts the file over instead of appending.
    server.script("/to-ftp", "size=30000&seed=41&cut=10000");
    EXPECT_TRUE(isReport(download("f", server.url("/to-ftp"), in()), "WasFailed", 259, kCutShort));
    server.script("/to-ftp", "to=" + QUrl::toPercentEncoding(QString::fromStdString(ftp.url("/whole.bin"))));
    EXPECT_TRUE(isReport(resume("f"), "WasFinished", 0, in("to-ftp")));
    EXPECT_EQ(body(30000, 41), readFile(in("to-ftp")));

    // Credentials follow a redirect within their origin only; without them a 401 means "required".
    EXPECT_TRUE(isReport(download("h", server.url("/home?to=/mine&body=x&auth=alice:pw"), in(), "", "alice", "pw"),
                         "WasFinished", 0, in("home")));
    start("a", server.url("/away?to=" + QUrl::toPercentEncoding(QString::fromStdString(other.url("/g?auth=alice:pw")))),
          in(), "", "alice", "pw");
    EXPECT_TRUE(isReport(awaitReply("a"), "WasFailed", 264, "Download failed: Server replied Authorization Required."));
    ASSERT_FALSE(other.requests().isEmpty());
    for (const Request& request : other.requests())
        EXPECT_FALSE(request.has("Authorization"));
}

} // namespace
