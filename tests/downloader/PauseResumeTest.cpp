#include "Configuration.h"
#include "GeneratedBody.h"
#include "MessageBus.h"
#include "TransferFixture.h"

#include <QFile>
#include <QThread>

namespace {

class PauseResumeTest : public TransferTest
{
protected:
    void SetUp() override
    {
        TransferTest::SetUp();
        Route slow;
        slow.generatedSize = size;
        slow.seed = 21;
        slow.bytesPerSecond = 1000000;
        server.route("/slow.bin", slow);
        Route fast = slow;
        fast.bytesPerSecond = 0;
        server.route("/fast.bin", fast);
        hash = GeneratedBody::sha1(21, size).toHex().toStdString();
    }

    // Starts session on /slow.bin and pauses it once some data is on disk; returns the partial path.
    std::string startAndPause(const std::string& session)
    {
        startRequest(session, url("/slow.bin"), inFolder(), hash);
        EXPECT_TRUE(waitRunning(session));
        HaulwrightPersistedRequest record;
        EXPECT_TRUE(persisted(session, record));
        EXPECT_TRUE(waitPartial(record.temporalFilename, 100000));
        send(makeMessage("Pause", session));
        waitGone(session);
        return record.temporalFilename;
    }

    void waitGone(const std::string& session)
    {
        for (int i = 0; i < 2000 && component->isRegistered(UUId(session)); ++i)
            QThread::msleep(5);
        EXPECT_FALSE(component->isRegistered(UUId(session)));
    }

    const qint64 size = 3000000;
    std::string hash;
};

} // namespace

TEST_F(PauseResumeTest, PausedDownloadKeepsItsFileAndRecordAndResumesWithRange)
{
    startComponent();
    const std::string partial = startAndPause("pr");
    ASSERT_TRUE(MessageBus::instance().waitIdle(2000));
    EXPECT_TRUE(repliesFor("pr").empty());
    const qint64 have = QFileInfo(QString::fromStdString(partial)).size();
    ASSERT_GT(have, 0);
    ASSERT_LT(have, size);
    HaulwrightPersistedRequest record;
    ASSERT_TRUE(persisted("pr", record));
    EXPECT_EQ(partial, record.temporalFilename);

    server.clearRequests();
    send(makeMessage("Resume", "pr"));
    const auto reply = awaitReply("pr", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    EXPECT_EQ(inFolder() + "/slow.bin", textOf(reply));
    EXPECT_EQ(GeneratedBody::content(21, 0, size), readAll(textOf(reply)));
    ASSERT_EQ(1, server.requests().size());
    EXPECT_EQ("bytes=" + QByteArray::number(have) + "-", server.requests().at(0).header("Range"));
    MessageBus::instance().waitIdle(10000);
    EXPECT_FALSE(persisted("pr", record));
    EXPECT_TRUE(partialFiles().isEmpty());
}

TEST_F(PauseResumeTest, ResumeAfterARestartContinuesFromThePartialFile)
{
    startComponent();
    const std::string partial = startAndPause("rs");
    const qint64 have = QFileInfo(QString::fromStdString(partial)).size();
    destroyComponent();

    startComponent();
    server.clearRequests();
    send(makeMessage("Resume", "rs"));
    const auto reply = awaitReply("rs", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    EXPECT_EQ("bytes=" + QByteArray::number(have) + "-", server.requests().value(0).header("Range"));
    EXPECT_EQ(GeneratedBody::content(21, 0, size), readAll(textOf(reply)));
}

TEST_F(PauseResumeTest, ResumeWithoutPartialFileDownloadsEverythingWithoutRange)
{
    startComponent();
    const std::string partial = startAndPause("np");
    QFile::remove(QString::fromStdString(partial));
    server.clearRequests();
    send(makeMessage("Resume", "np"));
    const auto reply = awaitReply("np", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    EXPECT_FALSE(server.requests().value(0).hasHeader("Range"));
}

TEST_F(PauseResumeTest, AbortOfARunningDownloadIsAnsweredByItsCompletion)
{
    startComponent();
    startRequest("ab", url("/slow.bin"), inFolder(), hash);
    ASSERT_TRUE(waitRunning("ab"));
    send(makeMessage("Abort", "ab"));
    const auto reply = awaitReply("ab", 10000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasAborted", reply->getMessageType());
    EXPECT_EQ(262, codeOf(reply));
    EXPECT_EQ("Download canceled by user.", textOf(reply));
    ASSERT_TRUE(MessageBus::instance().waitIdle(2000));
    EXPECT_EQ(1u, repliesFor("ab").size());
    HaulwrightPersistedRequest record;
    EXPECT_FALSE(persisted("ab", record));
    EXPECT_TRUE(partialFiles().isEmpty());
}

TEST_F(PauseResumeTest, UnknownSessionsAreRefused)
{
    startComponent();
    send(makeMessage("Pause", "ghost"));
    send(makeMessage("Resume", "ghost2"));
    auto reply = awaitReply("ghost");
    ASSERT_TRUE(reply);
    EXPECT_EQ(270, codeOf(reply));
    EXPECT_EQ("No file to stop", textOf(reply));
    reply = awaitReply("ghost2");
    ASSERT_TRUE(reply);
    EXPECT_EQ(269, codeOf(reply));
    EXPECT_EQ("Unknown filename to be resumed", textOf(reply));
    EXPECT_EQ(0u, component->reservationCount());
}

TEST_F(PauseResumeTest, BusySessionAndLimitAreRefusedAndThePlaceComesBack)
{
    Configuration::instance().set("Downloader/MaxDownloads", "1");
    startComponent();
    startRequest("one", url("/slow.bin"), inFolder(), hash);
    ASSERT_TRUE(waitRunning("one"));
    send(makeMessage("Start", "one", startPayload(url("/fast.bin"), inFolder())));
    auto reply = awaitReply("one");
    ASSERT_TRUE(reply);
    EXPECT_EQ(275, codeOf(reply));
    EXPECT_EQ("Session ID is already in use", textOf(reply));
    for (int i = 0; i < 5; ++i)
        send(makeMessage("Resume", "two"));
    reply = awaitReply("two");
    ASSERT_TRUE(reply);
    EXPECT_EQ(257, codeOf(reply));

    replies.clear();
    send(makeMessage("Abort", "one"));
    ASSERT_TRUE(awaitReply("one"));
    send(makeMessage("Start", "three", startPayload(url("/fast.bin"), inFolder(), hash)));
    reply = awaitReply("three", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
}

namespace {

// A resume of record session with the first `have` bytes of the served file already on disk.
class ResumeAnswerTest : public PauseResumeTest
{
protected:
    std::string prepare(const std::string& session, qint64 have, const QByteArray& beginning = QByteArray())
    {
        HaulwrightPersistedRequest record{inFolder(), url("/odd.bin"), hash, inFolder() + "/" + session + ".part"};
        QFile file(QString::fromStdString(record.temporalFilename));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(beginning.isNull() ? GeneratedBody::content(21, 0, have) : beginning);
        file.close();
        EXPECT_EQ(0, component->persistRequest(session, record));
        return record.temporalFilename;
    }
};

} // namespace

TEST_F(ResumeAnswerTest, WholeFileAnswerStartsThePartialFileOver)
{
    Route ignoring;
    ignoring.generatedSize = size;
    ignoring.seed = 21;
    ignoring.honourRange = false;
    server.route("/odd.bin", ignoring);
    startComponent();
    // A wrong beginning proves the file was started over, not appended to.
    prepare("ig", 1000, QByteArray(1000, 'x'));
    send(makeMessage("Resume", "ig"));
    const auto reply = awaitReply("ig", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType()) << textOf(reply);
    EXPECT_EQ(GeneratedBody::content(21, 0, size), readAll(textOf(reply)));
    EXPECT_EQ("bytes=1000-", server.requests().value(0).header("Range"));
}

TEST_F(ResumeAnswerTest, PartStartingElsewhereFailsAndKeepsThePartialFile)
{
    Route wrong;
    wrong.status = 206;
    wrong.honourRange = false;
    wrong.generatedSize = size;
    wrong.seed = 21;
    wrong.headers.append(qMakePair(QByteArray("Content-Range"),
                                   "bytes 0-" + QByteArray::number(size - 1) + "/" + QByteArray::number(size)));
    server.route("/odd.bin", wrong);
    startComponent();
    const std::string partial = prepare("wr", 5000);
    send(makeMessage("Resume", "wr"));
    const auto reply = awaitReply("wr", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_EQ(259, codeOf(reply));
    MessageBus::instance().waitIdle(5000);
    EXPECT_EQ(GeneratedBody::content(21, 0, 5000), readAll(partial));
    HaulwrightPersistedRequest record;
    EXPECT_TRUE(persisted("wr", record));
}

TEST_F(ResumeAnswerTest, NothingLeftToSendCountsAsCompleteWhenTheDigestAgrees)
{
    Route done;
    done.status = 416;
    done.honourRange = false;
    done.body = "range not satisfiable";
    done.headers.append(qMakePair(QByteArray("Content-Range"), "bytes */" + QByteArray::number(size)));
    server.route("/odd.bin", done);
    startComponent();
    prepare("full", size);
    send(makeMessage("Resume", "full"));
    const auto reply = awaitReply("full", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType()) << textOf(reply);
    EXPECT_EQ(GeneratedBody::content(21, 0, size), readAll(textOf(reply)));
}
