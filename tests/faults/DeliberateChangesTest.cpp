// Deliberate changes from the base behaviour. Each case states: what the server does -> the report
// (type, code, text), whether the record stays, whether the partial file stays.
#include "Configuration.h"
#include "FaultFixture.h"
#include "FtpServer.h"
#include "HaulProcess.h"
#include "MessageBus.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace {

const char* const cutShort = "Download failed: Connection closed prematurely.";

Route withHeaders(Route route, QList<QPair<QByteArray, QByteArray>> headers)
{
    route.headers = headers;
    return route;
}

Route cut(Route route, qint64 after)
{
    route.cutAfterBytes = after;
    return route;
}

} // namespace

class DeliberateChangesTest : public FaultTest
{
protected:
    // A first answer cut short after `kept` bytes of a file of size bytes: 259, record and partial file stay.
    std::string partialOf(const std::string& session, const QString& path, qint64 size, quint32 seed, qint64 kept)
    {
        server.route(path, cut(generated(size, seed), kept));
        EXPECT_TRUE(isReport(download(session, url(path), inFolder()), "WasFailed", 259, cutShort));
        const std::string partial = recordedPartial(session);
        EXPECT_EQ(kept, QFileInfo(QString::fromStdString(partial)).size());
        return partial;
    }
    bool fileExists(const std::string& path) { return QFileInfo::exists(QString::fromStdString(path)); }
};

// 404, 500 and a missing FTP file, with credentials: the texts name the URL without them.
TEST_F(DeliberateChangesTest, CredentialsNeverReachReportsOrLogLines)
{
    FtpServer ftp("alice", "Sup3rSecret");
    ASSERT_TRUE(ftp.start(sandbox.path())) << ftp.errorString().toStdString();
    Route failing;
    failing.status = 500;
    server.route("/broken", failing);
    startComponent();
    const std::string ftpAddress = "ftp://127.0.0.1:" + std::to_string(ftp.port()) + "/missing.bin";
    std::string inUrl = url("/missing");
    inUrl.insert(inUrl.find("//") + 2, "alice:Sup3rSecret@");
    const struct
    {
        std::string address;
        std::string user; // "" when the credentials are written into the address
        std::string text; // exact, or "" for: names the address without credentials
    } rows[] = {
        {url("/missing"), "alice", "Error transferring " + url("/missing") + " - server replied: Not Found"},
        {url("/broken"), "alice", "Error transferring " + url("/broken") + " - server replied: Internal Server Error"},
        {ftpAddress, "alice", ""},
        {inUrl, "", "Error transferring " + url("/missing") + " - server replied: Not Found"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        replies.clear();
        clearLog();
        startRequest("cred", row.address, inFolder(), "", row.user, row.user.empty() ? "" : "Sup3rSecret");
        const auto reply = awaitReply("cred", 30000);
        MessageBus::instance().waitIdle(10000);
        ASSERT_TRUE(reply);
        EXPECT_EQ("WasFailed", reply->getMessageType());
        if (!row.text.empty()) {
            EXPECT_TRUE(isReport(reply, "WasFailed", 260, row.text));
        }
        EXPECT_EQ(std::string::npos, textOf(reply).find("Sup3rSecret")) << textOf(reply);
        EXPECT_EQ(std::string::npos, textOf(reply).find("alice@")) << textOf(reply);
        for (const std::string& line : logTexts())
            EXPECT_EQ(std::string::npos, line.find("Sup3rSecret")) << line;
        HaulwrightPersistedRequest record;
        ASSERT_TRUE(persisted("cred", record)) << "record kept";
        EXPECT_EQ(std::string::npos, record.url.find("Sup3rSecret")) << "credentials are never persisted";
        EXPECT_TRUE(partialFiles().isEmpty()) << "nothing arrived: no partial file";
    }
}

// Answers that do not prove the data wrong keep it (report, record and partial file stay, a
// Resume continues); those that do delete it.
TEST_F(DeliberateChangesTest, DataIsKeptUnlessProvenWrong)
{
    Configuration::instance().set("Downloader/RequestTimeout", "400");
    startComponent();
    const qint64 size = 300000;
    Route stall = generated(size, 31);
    stall.stallAfterBytes = 100000;
    stall.stallMs = -1;
    Route stale; // a file shorter than what the client already holds
    stale.body = body(50000, 32);
    Route gone;
    gone.status = 404;
    const struct
    {
        const char* name;
        Route resumeAnswer;
        std::string type;
        int code;
        std::string text;
        bool kept;
    } rows[] = {
        // stall after 100000 bytes -> 273, record and 100000 bytes kept; the resume finishes.
        {"stall", generated(size, 31), "WasFinished", 0, "", true},
        // resume answered 416 "bytes */50000" (the server's file is shorter) -> partial file deleted.
        {"stale", stale, "WasFailed", 260, "", false},
        // resume answered 404 -> 260, partial file kept.
        {"gone", gone, "WasFailed", 260, "", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = QString("/") + row.name;
        server.route(path, stall);
        const auto first = download(row.name, url(path), inFolder(), "", 20000);
        EXPECT_TRUE(isReport(first, "WasFailed", 273, "No response from the endpoint - timeout occurred"));
        const std::string partial = recordedPartial(row.name);
        EXPECT_EQ(100000, QFileInfo(QString::fromStdString(partial)).size()) << "stall keeps what arrived";

        server.route(path, row.resumeAnswer);
        const auto second = resume(row.name);
        ASSERT_TRUE(second);
        EXPECT_EQ(row.type, second->getMessageType()) << textOf(second);
        EXPECT_EQ(row.code, codeOf(second)) << textOf(second);
        if (row.type == "WasFinished") {
            EXPECT_EQ(body(size, 31), readAll(inFolder() + path.toStdString()));
            EXPECT_EQ("", recordedPartial(row.name));
        } else {
            EXPECT_EQ(row.kept, fileExists(partial));
            EXPECT_EQ(partial, recordedPartial(row.name)) << "record kept";
        }
    }
}

// A write that fails mid-body (the partial file turned immutable) -> 258, what arrived and the
// record are kept, and the Resume continues from there.
TEST_F(DeliberateChangesTest, WriteErrorKeepsWhatArrived)
{
    Route slow = generated(300000, 44);
    slow.stallAfterBytes = 50000;
    slow.stallMs = 1500;
    server.route("/write.bin", slow);
    startComponent();
    startRequest("write", url("/write.bin"), inFolder());
    ASSERT_TRUE(waitRunning("write"));
    const QString partial = QString::fromStdString(recordedPartial("write"));
    ASSERT_TRUE(waitPartial(partial.toStdString(), 50000));
    if (QProcess::execute("chattr", {"+i", partial}) != 0)
        GTEST_SKIP() << "chattr +i is not available here";
    const auto failed = awaitReply("write", 30000);
    MessageBus::instance().waitIdle(10000);
    QProcess::execute("chattr", {"-i", partial});
    EXPECT_TRUE(isReport(failed, "WasFailed", 258, "Could not write to destination file."));
    EXPECT_EQ(partial.toStdString(), recordedPartial("write"));
    const qint64 kept = QFileInfo(partial).size();
    EXPECT_GE(kept, 50000) << "what arrived is kept";

    server.route("/write.bin", generated(300000, 44));
    server.clearRequests();
    EXPECT_TRUE(isReport(resume("write"), "WasFinished", 0, inFolder() + "/write.bin"));
    EXPECT_EQ("bytes=" + QByteArray::number(kept) + "-", server.requests().value(0).header("Range"));
    EXPECT_EQ(body(300000, 44), readAll(inFolder() + "/write.bin"));
}

// A move that fails keeps partial file and record (271), the record naming the final path;
// a Resume after the cause is gone moves it.
TEST_F(DeliberateChangesTest, FailedMoveKeepsTheDataAndAResumeMovesIt)
{
    Route slow = generated(200000, 33);
    slow.stallAfterBytes = 1000;
    slow.stallMs = 1500;
    server.route("/move.bin", slow);
    startComponent();
    const QString folder = QString::fromStdString(inFolder());
    startRequest("move", url("/move.bin"), inFolder());
    ASSERT_TRUE(waitRunning("move"));
    ASSERT_TRUE(waitPartial(recordedPartial("move"), 1000));
    // Immutable folder: the open partial file can still be written, no name can be added.
    if (QProcess::execute("chattr", {"+i", folder}) != 0)
        GTEST_SKIP() << "chattr +i is not available here";
    const auto failed = awaitReply("move", 30000);
    MessageBus::instance().waitIdle(10000);
    QProcess::execute("chattr", {"-i", folder});
    EXPECT_TRUE(isReport(failed, "WasFailed", 271, "Cannot save the specified filename"));
    HaulwrightPersistedRequest record;
    ASSERT_TRUE(persisted("move", record)) << "record kept";
    EXPECT_EQ(200000, QFileInfo(QString::fromStdString(record.temporalFilename)).size()) << "partial file kept";
    EXPECT_EQ(inFolder() + "/move.bin", record.finalFilename) << "the record names the final path before the move";

    server.route("/move.bin", generated(200000, 33));
    EXPECT_TRUE(isReport(resume("move"), "WasFinished", 0, inFolder() + "/move.bin"));
    EXPECT_EQ(body(200000, 33), readAll(inFolder() + "/move.bin"));
    EXPECT_FALSE(fileExists(record.temporalFilename));
}

// A record left by a completion killed after its move: the Resume finishes without a transfer
// when the file is the one moved (size, digest), and fetches again otherwise.
TEST_F(DeliberateChangesTest, ResumeAfterACrashedCompletionFindsTheMovedFile)
{
    const QByteArray content = body(40000, 34);
    server.route("/done.bin", generated(40000, 34));
    startComponent();
    const std::string final = inFolder() + "/done.bin";
    const struct
    {
        const char* name;
        std::string hash;
        std::string size;
        bool transfer; // the server is asked again
    } rows[] = {
        {"same", sha1Hex(content), "40000", false},
        {"no-digest", "", "40000", false},
        {"wrong-size", "", "39999", true},
        {"wrong-digest", sha1Hex(content.left(10)), "40000", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(QString::fromStdString(final));
        ASSERT_TRUE(writeFile(QString::fromStdString(final), content));
        component->persistRequest(row.name, HaulwrightPersistedRequest{inFolder(), url("/done.bin"), row.hash,
                                                                       inFolder() + "/gone.part", final, row.size, ""});
        server.clearRequests();
        const auto reply = resume(row.name);
        EXPECT_EQ(row.transfer, !server.requests().isEmpty());
        if (!row.transfer) {
            EXPECT_TRUE(isReport(reply, "WasFinished", 0, final));
            EXPECT_FALSE(fileExists(inFolder() + "/done_2.bin")) << "no second copy";
            EXPECT_EQ("", recordedPartial(row.name));
        }
    }
}

// Names from the URL or the server: one name inside the destination folder, at most 255 bytes,
// extension kept; "_N" in the file's own name only.
TEST_F(DeliberateChangesTest, FinalNamesAreConfinedCutAndMadeUniqueInTheFileNameOnly)
{
    const QString longStem(300, 'n');
    const std::string cutName = std::string(251, 'n') + ".bin";
    const struct
    {
        QString path;
        QByteArray disposition;
        std::string folder; // below the sandbox
        std::string existing;
        std::string saved;
    } rows[] = {
        {"/ok/%2e", "", "dot", "", "download"},
        {"/ok/x/%2e%2e", "", "dotdot", "", "download"},
        {"/ok/keep%00.bin", "", "nul", "keep", "keep.bin"},
        {"/ok/" + longStem + ".bin", "", "longurl", "", cutName},
        {"/ok/cd", "attachment; filename=\"" + longStem.toUtf8() + ".bin\"", "longcd", "", cutName},
        {"/ok/" + longStem + ".bin", "", "longtaken", cutName, std::string(249, 'n') + "_2.bin"},
        {"/ok/file", "", "v1.0", "file", "file_2"},
        {"/ok/a.tar.gz", "", "multi", "a.tar.gz", "a.tar_2.gz"},
    };
    startComponent();
    for (const auto& row : rows)
        QDir().mkpath(sandbox.path() + "/" + QString::fromStdString(row.folder));
    const QStringList before = QDir(sandbox.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const auto& row : rows) {
        const std::string folder = sandbox.path().toStdString() + "/" + row.folder;
        SCOPED_TRACE(folder);
        if (!row.existing.empty()) {
            ASSERT_TRUE(writeFile(QString::fromStdString(folder + "/" + row.existing), "old"));
        }
        // Whatever dot segments the client resolves before sending, the same file answers.
        const QString served = QUrl::fromPercentEncoding(row.path.toUtf8());
        for (const QString& key : {served, QString("/ok"), QString("/ok/"), QString("/ok/x/")})
            server.route(key, withHeaders(generated(1000, 35), row.disposition.isEmpty()
                                                                  ? QList<QPair<QByteArray, QByteArray>>{}
                                                                  : QList<QPair<QByteArray, QByteArray>>{
                                                                        {"Content-Disposition", row.disposition}}));
        const auto reply = download(row.folder, url(row.path), folder);
        EXPECT_TRUE(isReport(reply, "WasFinished", 0, folder + "/" + row.saved));
        EXPECT_EQ(body(1000, 35), readAll(folder + "/" + row.saved));
        if (!row.existing.empty()) {
            EXPECT_EQ("old", readAll(folder + "/" + row.existing)) << "existing file untouched";
        }
    }
    EXPECT_EQ(before, QDir(sandbox.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
        << "nothing saved beside the destination folders";
}

// The session identifier never becomes a path; the partial file is never opened through a link.
TEST_F(DeliberateChangesTest, PartialFileStaysInTheFolderAndIsNeverALink)
{
    startComponent();
    const std::string partial = partialOf("../esc", "/esc.bin", 5000, 36, 2000);
    EXPECT_EQ(inFolder() + "/", partial.substr(0, inFolder().size() + 1));
    EXPECT_EQ(std::string::npos, partial.find('/', inFolder().size() + 1)) << partial;

    // A link planted at the partial file's name: 258, the file it points to stays as it was.
    const QString victim = sandbox.path() + "/victim";
    ASSERT_TRUE(writeFile(victim, "victim"));
    QFile::remove(QString::fromStdString(partial));
    ASSERT_TRUE(QFile::link(victim, QString::fromStdString(partial)));
    EXPECT_TRUE(isReport(resume("../esc"), "WasFailed", 258, "Could not create destination file"));
    EXPECT_EQ("victim", readAll(victim.toStdString()));
}

// A resume sends If-Range with the validator of the first answer; the changed file answers 200
// and the partial file starts over, so no file mixes two versions.
TEST_F(DeliberateChangesTest, ResumeContinuesOnlyTheSameFile)
{
    startComponent();
    const QByteArray date = "Sun, 06 Dec 2026 10:00:00 GMT";
    const struct
    {
        const char* name;
        QList<QPair<QByteArray, QByteArray>> before, after;
        QByteArray ifRange;
        quint32 finalSeed;
    } rows[] = {
        {"etag-same", {{"ETag", "\"v1\""}}, {{"ETag", "\"v1\""}}, "\"v1\"", 37},
        {"etag-changed", {{"ETag", "\"v1\""}}, {{"ETag", "\"v2\""}}, "\"v1\"", 38},
        {"date-changed", {{"Last-Modified", date}}, {{"Last-Modified", "Mon, 07 Dec 2026 10:00:00 GMT"}}, date, 38},
        {"weak-etag", {{"ETag", "W/\"v1\""}, {"Last-Modified", date}}, {{"ETag", "W/\"v1\""}, {"Last-Modified", date}},
         date, 37},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = QString("/") + row.name;
        server.route(path, withHeaders(cut(generated(60000, 37), 20000), row.before));
        EXPECT_TRUE(isReport(download(row.name, url(path), inFolder()), "WasFailed", 259, cutShort));
        server.route(path, withHeaders(generated(60000, row.finalSeed), row.after));
        server.clearRequests();
        EXPECT_TRUE(isReport(resume(row.name), "WasFinished", 0, inFolder() + path.toStdString()));
        EXPECT_EQ(row.ifRange, server.requests().value(0).header("If-Range"));
        EXPECT_EQ(body(60000, row.finalSeed), readAll(inFolder() + path.toStdString()));
    }
}

// A 206 must add up, lengths must agree, an empty file is a file, an FTP transfer must deliver
// what it announced. Failures are 259 with the record kept.
TEST_F(DeliberateChangesTest, AnswersMustAddUp)
{
    const QString ftpRoot = sandbox.path() + "/ftp";
    QDir().mkpath(ftpRoot);
    ASSERT_TRUE(writeFile(ftpRoot + "/half.twice", body(50000, 39)));
    FtpServer ftp;
    ASSERT_TRUE(ftp.start(ftpRoot)) << ftp.errorString().toStdString();
    startComponent();
    Route partTooShort; // to a resume at 20000
    partTooShort.status = 206;
    partTooShort.body = body(50000, 39).mid(20000, 100);
    partTooShort.headers = {{"Content-Range", "bytes 20000-20099/50000"}};
    Route partUnasked; // to a request without Range
    partUnasked.status = 206;
    partUnasked.body = body(1000, 39);
    partUnasked.headers = {{"Content-Range", "bytes 0-999/5000"}};
    Route wholePart = partUnasked;
    wholePart.body = body(5000, 39);
    wholePart.headers = {{"Content-Range", "bytes 0-4999/5000"}};
    Route twoLengths = generated(5000, 39);
    twoLengths.extraHeaderBlob = "Content-Length: 4000\r\n";
    Route empty;
    const struct
    {
        const char* name;
        Route answer;
        bool resumeAt20000;
        std::string address; // "" for the route's own
        std::string type;
        int code;
        qint64 savedSize;
    } rows[] = {
        {"part-too-short", partTooShort, true, "", "WasFailed", 259, -1},
        {"part-unasked", partUnasked, false, "", "WasFailed", 259, -1},
        {"part-whole", wholePart, false, "", "WasFinished", 0, 5000},
        {"two-lengths", twoLengths, false, "", "WasFailed", 259, -1},
        {"empty", empty, false, "", "WasFinished", 0, 0},
        {"ftp-short", empty, false, ftp.url("/half.twice").toStdString(), "WasFailed", 259, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = QString("/") + row.name;
        std::string partial;
        if (row.resumeAt20000)
            partial = partialOf(row.name, path, 50000, 39, 20000);
        server.route(path, row.answer);
        const std::string address = row.address.empty() ? url(path) : row.address;
        const auto reply = row.resumeAt20000 ? resume(row.name) : download(row.name, address, inFolder(), "", 30000);
        ASSERT_TRUE(reply);
        EXPECT_EQ(row.type, reply->getMessageType()) << textOf(reply);
        EXPECT_EQ(row.code, codeOf(reply)) << textOf(reply);
        if (row.savedSize >= 0) {
            EXPECT_EQ(row.savedSize, QFileInfo(QString::fromStdString(textOf(reply))).size());
            continue;
        }
        EXPECT_EQ(cutShort, textOf(reply));
        EXPECT_NE("", recordedPartial(row.name)) << "record kept";
        if (row.resumeAt20000) {
            EXPECT_EQ(body(20000, 39), readAll(partial)) << "partial file kept as it was";
        }
    }
}

// Early Pause and Abort (before the first request) and a Start admitted while the component
// stops: no request is sent. Pause keeps record and partial file without a report; Abort is
// answered as for a paused download and removes both.
TEST_F(DeliberateChangesTest, PauseOrAbortBeforeTheFirstRequestIsHonoured)
{
    server.route("/early.bin", generated(5000, 40));
    const struct
    {
        const char* request; // "" for a stop of the component
        bool recordKept;
        std::string report;
    } rows[] = {{"Pause", true, ""}, {"Abort", false, "WasAborted"}, {"", true, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.request);
        Haulwright& haul = startComponent();
        const std::string id = std::string("early") + row.request;
        const std::string partial = inFolder() + "/" + id + ".part";
        if (*row.request == '\0')
            haul.stop();
        auto start = makeMessage("Start", id, startPayload(url("/early.bin"), inFolder()));
        ASSERT_EQ(0, haul.claimSession(UUId(id), false));
        haul.persistRequest(id, HaulwrightPersistedRequest{inFolder(), url("/early.bin"), "", partial, "", "", ""});
        IDownloader* transfer = haul.createDownloader(partial, start);
        haul.registerDownload(UUId(id), transfer);
        if (*row.request != '\0')
            haul.onMessage(makeMessage(row.request, id));
        transfer->start();
        MessageBus::instance().waitIdle(10000);
        EXPECT_TRUE(server.requests().isEmpty());
        EXPECT_EQ(0u, haul.activeCount());
        EXPECT_EQ(row.recordKept, recordedPartial(id) == partial);
        EXPECT_EQ(row.recordKept, fileExists(partial));
        if (row.report.empty()) {
            EXPECT_TRUE(repliesFor(id).empty());
        } else {
            EXPECT_TRUE(isReport(awaitReply(id), row.report, 0, "Download aborted"));
        }
        destroyComponent();
    }
}

// The ftp rule and the credential rule follow the request actually sent, not the first URL.
TEST_F(DeliberateChangesTest, RedirectsChangeTheRulesThatApply)
{
    const QString ftpRoot = sandbox.path() + "/ftp";
    QDir().mkpath(ftpRoot);
    ASSERT_TRUE(writeFile(ftpRoot + "/whole.bin", body(30000, 41)));
    FtpServer ftp;
    ASSERT_TRUE(ftp.start(ftpRoot)) << ftp.errorString().toStdString();
    TestHttpServer other;
    ASSERT_TRUE(other.start());
    Route guarded;
    guarded.authUser = "alice";
    guarded.authPassword = "pw";
    other.route("/guarded", guarded);
    startComponent();

    // Resume at 10000 redirected to ftp -> the file starts over, no whole file appended.
    partialOf("to-ftp", "/to-ftp", 30000, 41, 10000);
    Route toFtp;
    toFtp.status = 302;
    toFtp.redirectTo = ftp.url("/whole.bin", false);
    server.route("/to-ftp", toFtp);
    EXPECT_TRUE(isReport(resume("to-ftp"), "WasFinished", 0, inFolder() + "/to-ftp"));
    EXPECT_EQ(body(30000, 41), readAll(inFolder() + "/to-ftp"));

    // A 401 after a redirect to another origin (credentials dropped) -> 264, not 263.
    Route away;
    away.status = 302;
    away.redirectTo = other.url("/guarded");
    server.route("/away", away);
    startRequest("away", url("/away"), inFolder(), "", "alice", "pw");
    EXPECT_TRUE(isReport(awaitReply("away", 30000), "WasFailed", 264,
                         "Download failed: Server replied Authorization Required."));
    EXPECT_TRUE(other.requests().value(0).header("Authorization").isEmpty());
}

// RequestTimeout=0: no limit, a pause of the server is waited out.
TEST_F(DeliberateChangesTest, ZeroRequestTimeoutMeansNoLimit)
{
    Configuration::instance().set("Downloader/RequestTimeout", "0");
    Route pausing = generated(20000, 42);
    pausing.stallAfterBytes = 5000;
    pausing.stallMs = 700;
    server.route("/pausing.bin", pausing);
    startComponent();
    EXPECT_TRUE(isReport(download("zero", url("/pausing.bin"), inFolder()), "WasFinished", 0,
                         inFolder() + "/pausing.bin"));
}

// haul as a user runs it: a 404 with --user and HAUL_PASSWORD -> the password appears in no
// output, --json included.
TEST_F(DeliberateChangesTest, HaulPrintsNoPassword)
{
    HaulProcess haul(sandbox.path() + "/haul");
    haul.setEnv("HAUL_PASSWORD", "Sup3rSecret");
    const auto result = haul.run({"--json", "get", server.url("/missing"), "--user", "alice", "-d",
                                  QString::fromStdString(inFolder())});
    EXPECT_EQ(1, result.exitCode) << result.all().toStdString();
    EXPECT_TRUE(result.out.contains("\"code\":260")) << result.all().toStdString();
    EXPECT_FALSE(result.all().contains("Sup3rSecret")) << result.all().toStdString();
}

// A store that cannot be written: haul list still reads it; a new Start is refused
// ("DownloaderError", 260, "Cannot store the download request") and leaves no partial file; an
// Abort cannot remove the record, so it is refused (272) and the partial file stays.
TEST_F(DeliberateChangesTest, ReadOnlyStoreIsListedAndRefusesNewDownloads)
{
    server.route("/cut.bin", cut(generated(50000, 45), 20000));
    HaulProcess haul(sandbox.path() + "/haul");
    haul.run({"get", server.url("/cut.bin"), "--id", "kept"});
    const QStringList partials = QDir(sandbox.path() + "/haul/download").entryList({"*.part"});
    ASSERT_EQ(1, partials.size());
    const QString store = sandbox.path() + "/haul/store";
    const QStringList locked = QDir(store).entryList(QDir::Files) << "";
    for (const QString& name : locked) {
        if (QProcess::execute("chattr", {"+i", store + "/" + name}) != 0)
            GTEST_SKIP() << "chattr +i is not available here";
    }
    const auto listed = haul.run({"list"});
    const auto refused = haul.run({"get", server.url("/missing"), "-d", QString::fromStdString(inFolder())});
    const auto aborted = haul.run({"abort", "kept"});
    for (const QString& name : locked)
        QProcess::execute("chattr", {"-i", store + "/" + name});
    EXPECT_EQ(0, listed.exitCode) << listed.all().toStdString();
    EXPECT_TRUE(listed.out.contains("kept  " + server.url("/cut.bin").toUtf8())) << listed.all().toStdString();
    EXPECT_TRUE(aborted.out.contains("(code 272)")) << aborted.all().toStdString();
    EXPECT_EQ(partials, QDir(sandbox.path() + "/haul/download").entryList({"*.part"}));
    EXPECT_TRUE(refused.out.contains("Cannot store the download request (code 260) [DownloaderError"))
        << refused.all().toStdString();
    EXPECT_TRUE(partialFiles().isEmpty());
}

// No store at all (it could not be opened): a Start is refused before any request.
TEST_F(DeliberateChangesTest, StartWithoutAStoreIsRefused)
{
    Configuration::instance().unset("Directories/DataPath");
    server.route("/any.bin", generated(1000, 43));
    startComponent();
    startRequest("nostore", url("/any.bin"), inFolder());
    EXPECT_TRUE(isReport(awaitReply("nostore"), "DownloaderError", 260, "Cannot store the download request"));
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_TRUE(partialFiles().isEmpty());
}
