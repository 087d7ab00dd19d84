// Pause, Resume and Abort of real transfers, and every answer a server can give to a resume.
#include "ComponentFixture.h"
#include "FtpServer.h"
#include "MessageBus.h"

namespace {

const qint64 kSize = 3000000;

class PauseResumeTest : public ComponentTest
{
protected:
    // Starts a throttled download and pauses it once some of it is on disk; returns the partial file.
    std::string startAndPause(const std::string& session)
    {
        start(session, url(), in(), bodySha1(kSize, 21));
        EXPECT_TRUE(waitRunning(session));
        const std::string partial = recordedPartial(session);
        EXPECT_TRUE(waitUntil([&] { return fileSize(partial) >= 100000; }));
        send("Pause", session);
        EXPECT_TRUE(waitUntil([&] { return !component->isRegistered(UUId(session)); }));
        return partial;
    }
    std::string url() const { return server.url("/slow.bin?size=3000000&seed=21&rate=1000000"); }
};

TEST_F(PauseResumeTest, PausedDownloadKeepsItsFileAndRecordAndResumesWithRange)
{
    startComponent();
    const std::string partial = startAndPause("p");
    ASSERT_TRUE(MessageBus::instance().waitIdle(2000));
    EXPECT_TRUE(repliesFor("p").empty());
    HaulwrightPersistedRequest record;
    EXPECT_TRUE(persisted("p", record) && record.lastState == "paused");
    const qint64 have = fileSize(partial);
    ASSERT_GT(have, 0);
    ASSERT_LT(have, kSize);
    server.clearRequests();
    EXPECT_TRUE(isReport(resume("p"), "WasFinished", 0, in("slow.bin")));
    EXPECT_EQ(bodySha1(kSize, 21), sha1Hex(readFile(in("slow.bin"))));
    ASSERT_EQ(1, server.requests().size());
    EXPECT_EQ("bytes=" + QByteArray::number(have) + "-", server.requests().at(0).header("Range"));
    EXPECT_EQ("", recordedPartial("p"));
    EXPECT_TRUE(partialFiles().isEmpty());
}

TEST_F(PauseResumeTest, AbortOfARunningDownloadIsAnsweredOnceByItsCompletion)
{
    startComponent();
    start("a", url(), in());
    ASSERT_TRUE(waitRunning("a"));
    send("Abort", "a");
    EXPECT_TRUE(isReport(awaitReply("a"), "WasAborted", 262, "Download canceled by user."));
    ASSERT_TRUE(MessageBus::instance().waitIdle(2000));
    EXPECT_EQ(1u, repliesFor("a").size());
    EXPECT_EQ("", recordedPartial("a"));
    EXPECT_TRUE(partialFiles().isEmpty());
}

// A record whose partial file holds `have` bytes (garbage when asked), and what the server
// answers to its resume.
struct ResumeAnswer
{
    std::string name;
    qint64 have; // -1: no partial file at all
    bool garbage;
    std::string target;
    std::string type;
    int code;
    std::string range; // the Range header the server saw first
    bool kept = true;  // a failure keeps the partial file as it was
    int requests = 1;  // those after the first start the file over: no Range
};

std::ostream& operator<<(std::ostream& out, const ResumeAnswer& row)
{
    return out << row.name;
}

const std::string kWhole = "size=50000&seed=21";
const std::vector<ResumeAnswer> kAnswers = {
    {"RangeHonoured", 20000, false, "/f.bin?" + kWhole, "WasFinished", 0, "bytes=20000-"},
    {"WholeFileStartsOver", 1000, true, "/f.bin?norange=1&" + kWhole, "WasFinished", 0, "bytes=1000-"},
    {"PartStartingElsewhere", 5000, false,
     "/f.bin?status=206&norange=1&h=Content-Range:bytes%200-49999/50000&" + kWhole, "WasFailed", 259, "bytes=5000-"},
    {"NothingLeftToSend", 50000, false, "/f.bin?" + kWhole, "WasFinished", 0, "bytes=50000-"},
    {"PartialFileGone", -1, false, "/f.bin?" + kWhole, "WasFinished", 0, ""},
    {"PartTooShort", 20000, false, "/f.bin?status=206&norange=1&h=Content-Range:bytes%2020000-20099/50000&" + kWhole,
     "WasFailed", 259, "bytes=20000-"},
    {"NotFoundNow", 20000, false, "/f.bin?status=404&body=no", "WasFailed", 260, "bytes=20000-"},
    // A 416 proves what we hold longer than the server's file: the file starts over, once.
    {"ServerFileShorter", 60000, false, "/f.bin?" + kWhole, "WasFinished", 0, "bytes=60000-", true, 2},
    {"AlwaysUnsatisfiable", 60000, false, "/f.bin?status=416&h=Content-Range:bytes%20*/50000&body=x", "WasFailed", 260,
     "bytes=60000-", false, 2},
};

class ResumeAnswerTest : public ComponentTest, public testing::WithParamInterface<ResumeAnswer>
{
};

TEST_P(ResumeAnswerTest, FileIsRightOrKeptAsItWas)
{
    const ResumeAnswer& row = GetParam();
    startComponent();
    const HaulwrightPersistedRequest record{in(), server.url(QString::fromStdString(row.target)), bodySha1(50000, 21),
                                            in("r.part")};
    const QByteArray beginning = row.garbage ? QByteArray(int(row.have), 'x') : body(qMax<qint64>(row.have, 0), 21);
    if (row.have >= 0) {
        ASSERT_TRUE(writeFile(record.temporalFilename, beginning));
    }
    ASSERT_EQ(0, component->persistRequest("r", record));

    const Message reply = resume("r");
    ASSERT_TRUE(reply);
    EXPECT_EQ(row.type, reply->getMessageType()) << textOf(reply);
    EXPECT_EQ(row.code, codeOf(reply));
    const QList<Request> requests = server.requests();
    ASSERT_EQ(row.requests, requests.size());
    EXPECT_EQ(QByteArray::fromStdString(row.range), requests.value(0).header("Range"));
    for (const Request& again : requests.mid(1))
        EXPECT_FALSE(again.has("Range") || again.has("If-Range"));
    const bool finished = row.type == "WasFinished";
    EXPECT_EQ(finished ? 50000 : row.kept ? qMax<qint64>(row.have, 0) : 0, causeOf(reply).bytesKept);
    if (finished) {
        EXPECT_EQ(body(50000, 21), readFile(textOf(reply)));
        EXPECT_EQ("", recordedPartial("r"));
    } else {
        EXPECT_EQ(row.kept ? beginning : QByteArray(), readFile(record.temporalFilename));
        EXPECT_EQ(row.kept, fileExists(record.temporalFilename));
        // A partial file proven stale goes with its record; any other failure keeps both.
        EXPECT_EQ(row.kept ? record.temporalFilename : "", recordedPartial("r"));
    }
}

INSTANTIATE_TEST_SUITE_P(Server, ResumeAnswerTest, testing::ValuesIn(kAnswers),
                         [](const testing::TestParamInfo<ResumeAnswer>& info) { return info.param.name; });

TEST_F(ComponentTest, FtpDownloadsWithAndWithoutCredentialsAndAResumeStartsOver)
{
    const QByteArray content = body(700000, 5);
    ASSERT_TRUE(writeFile(sandbox.file("ftp/pub.bin"), content));
    FtpServer ftp;
    ASSERT_TRUE(ftp.start(sandbox.file("ftp")));
    startComponent();
    const std::string url = ftp.url("/pub.bin");
    EXPECT_TRUE(isReport(download("anon", url, in(), sha1Hex(content)), "WasFinished", 0, in("pub.bin")));
    EXPECT_EQ(content, readFile(in("pub.bin")));
    // Without a digest nothing counts as already complete: a second copy arrives.
    EXPECT_TRUE(isReport(download("user", url, in(), "", "haul", "secret"), "WasFinished", 0, in("pub_2.bin")));

    // The network library's FTP ignores Range, so a resume must start the file over.
    const HaulwrightPersistedRequest record{in(), url, sha1Hex(content), in("f.part")};
    ASSERT_TRUE(writeFile(record.temporalFilename, content.left(1000)));
    ASSERT_EQ(0, component->persistRequest("again", record));
    EXPECT_TRUE(isReport(resume("again"), "WasFinished", 0, in("pub_3.bin")));
    EXPECT_EQ(content, readFile(in("pub_3.bin")));

    // A server announcing more than it sends has cut the transfer short.
    ASSERT_TRUE(writeFile(sandbox.file("ftp/half.twice"), content.left(50000)));
    EXPECT_TRUE(isReport(download("short", ftp.url("/half.twice"), in()), "WasFailed", 259,
                         "Download failed: Connection closed prematurely."));
    EXPECT_NE("", recordedPartial("short"));
}

} // namespace
