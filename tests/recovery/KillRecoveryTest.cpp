#include "GeneratedBody.h"
#include "KillTargetProcess.h"
#include "MessageBus.h"
#include "TransferFixture.h"
#include "WaitUntil.h"

#include <QFileInfo>
#include <condition_variable>
#include <mutex>

namespace {

// A host process killed with SIGKILL leaves only what reached the disk: the persisted record
// and the partial file. A later host must continue from exactly there.
class KillRecoveryTest : public TransferTest
{
protected:
    void SetUp() override
    {
        TransferTest::SetUp();
        Route slow;
        slow.generatedSize = size;
        slow.seed = seed;
        slow.bytesPerSecond = 500000;
        server.route("/slow.bin", slow);
        Route fast = slow;
        fast.bytesPerSecond = 0;
        server.route("/fast.bin", fast);
        hash = GeneratedBody::sha1(seed, size).toHex().toStdString();
    }

    QStringList startArgs(const QString& path) const
    {
        return {"--start", server.url(path), QString::fromStdString(inFolder()), QString::fromStdString(hash)};
    }

    bool waitPersisted(const std::string& session, HaulwrightPersistedRequest& record)
    {
        return waitUntil([&] { return persisted(session, record); }, 10000);
    }

    static qint64 sizeOf(const std::string& path) { return QFileInfo(QString::fromStdString(path)).size(); }

    const qint64 size = 2000000;
    const quint32 seed = 31;
    std::string hash;
};

// Holds the test server's thread inside its request observer, so that the request is read but
// not a byte of the answer, headers included, goes out until release().
class ServerGate
{
public:
    explicit ServerGate(TestHttpServer& server) : server(server)
    {
        server.setRequestObserver([this](const RecordedRequest&) {
            std::unique_lock<std::mutex> lock(mutex);
            opened.wait(lock, [this] { return released; });
        });
    }
    ~ServerGate() { release(); }
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        opened.notify_all();
        server.setRequestObserver({});
    }

private:
    TestHttpServer& server;
    std::mutex mutex; // guards released
    std::condition_variable opened;
    bool released = false;
};

} // namespace

TEST_F(KillRecoveryTest, KilledMidTransferAnotherHostResumesFromThePartialFile)
{
    const QString data = QString::fromStdString(dataPath);
    KillTargetProcess first;
    ASSERT_TRUE(first.start(data, "k1", startArgs("/slow.bin"))) << first.transcript().toStdString();
    ASSERT_EQ(1, server.waitForRequests(1, 10000)) << first.transcript().toStdString();
    HaulwrightPersistedRequest before;
    ASSERT_TRUE(waitPersisted("k1", before));
    ASSERT_TRUE(waitPartial(before.temporalFilename, 300000)) << first.transcript().toStdString();
    ASSERT_TRUE(first.killHard()) << first.transcript().toStdString();

    const qint64 have = sizeOf(before.temporalFilename);
    ASSERT_GE(have, 300000);
    ASSERT_LT(have, size) << "the transfer ended before the kill; slow the route down";
    // What was written before the kill is the served content, not just some bytes.
    EXPECT_EQ(GeneratedBody::content(seed, 0, have), readAll(before.temporalFilename));
    HaulwrightPersistedRequest after;
    ASSERT_TRUE(persisted("k1", after)) << "the record did not survive the kill";
    EXPECT_EQ(before.temporalFilename, after.temporalFilename);
    EXPECT_EQ(url("/slow.bin"), after.url);
    EXPECT_EQ(hash, after.fileHash);
    EXPECT_EQ(inFolder(), after.destinationFolder);

    server.clearRequests();
    KillTargetProcess second;
    ASSERT_TRUE(second.start(data, "k1", {"--resume"})) << second.transcript().toStdString();
    KillTargetProcess::Reply reply;
    ASSERT_TRUE(second.finish(reply)) << second.transcript().toStdString();
    EXPECT_EQ("WasFinished", reply.type) << second.transcript().toStdString();
    EXPECT_EQ(0, reply.code);
    EXPECT_EQ(QString::fromStdString(inFolder() + "/slow.bin"), reply.text);

    ASSERT_EQ(1, server.requests().size());
    EXPECT_EQ("bytes=" + QByteArray::number(have) + "-", server.requests().at(0).header("Range"));
    EXPECT_EQ(hash, sha1Hex(readAll(inFolder() + "/slow.bin")));
    HaulwrightPersistedRequest gone;
    EXPECT_FALSE(persisted("k1", gone));
    EXPECT_TRUE(partialFiles().isEmpty()) << partialFiles().join(", ").toStdString();
}

TEST_F(KillRecoveryTest, KilledBeforeTheFirstByteIsResumedFromTheStart)
{
    const QString data = QString::fromStdString(dataPath);
    KillTargetProcess first;
    {
        ServerGate gate(server);
        ASSERT_TRUE(first.start(data, "k2", startArgs("/fast.bin"))) << first.transcript().toStdString();
        ASSERT_EQ(1, server.waitForRequests(1, 10000)) << first.transcript().toStdString();
        HaulwrightPersistedRequest record;
        ASSERT_TRUE(waitPersisted("k2", record));
        ASSERT_TRUE(first.killHard()) << first.transcript().toStdString();
        EXPECT_EQ(0, sizeOf(record.temporalFilename));
        ASSERT_TRUE(persisted("k2", record)) << "the record did not survive the kill";
    }

    // This time the host is the test process itself, on the same data directory.
    startComponent();
    server.clearRequests();
    send(makeMessage("Resume", "k2"));
    const auto reply = awaitReply("k2", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType()) << textOf(reply);
    EXPECT_EQ(inFolder() + "/fast.bin", textOf(reply));
    EXPECT_EQ(hash, sha1Hex(readAll(textOf(reply))));
    ASSERT_EQ(1, server.requests().size());
    const QByteArray range = server.requests().at(0).header("Range");
    // An empty partial file may be resumed from 0 or fetched whole; both give the same file.
    EXPECT_TRUE(range.isEmpty() || range == "bytes=0-") << range.toStdString();
    ASSERT_TRUE(MessageBus::instance().waitIdle(5000));
    HaulwrightPersistedRequest gone;
    EXPECT_FALSE(persisted("k2", gone));
    EXPECT_TRUE(partialFiles().isEmpty()) << partialFiles().join(", ").toStdString();
    EXPECT_EQ(1u, repliesFor("k2").size());
}
