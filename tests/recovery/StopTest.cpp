#include "GeneratedBody.h"
#include "MessageBus.h"
#include "TransferFixture.h"
#include "WaitUntil.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <map>

namespace {

class StopTest : public TransferTest
{
protected:
    struct Transfer
    {
        std::string session;
        QString path;
        quint32 seed;
    };

    void SetUp() override
    {
        TransferTest::SetUp();
        for (const Transfer& transfer : transfers) {
            Route slow;
            slow.generatedSize = size;
            slow.seed = transfer.seed;
            // Long enough that only a pause can end them while the test looks.
            slow.bytesPerSecond = 400000;
            server.route(transfer.path, slow);
        }
    }

    int requestsFor(const QString& path) const
    {
        int count = 0;
        for (const RecordedRequest& request : server.requests())
            count += request.path == path ? 1 : 0;
        return count;
    }

    static qint64 sizeOf(const std::string& path) { return QFileInfo(QString::fromStdString(path)).size(); }

    const qint64 size = 2000000;
    // Each its own content, so that a mix-up of partial files shows in the result.
    const std::vector<Transfer> transfers{{"s1", "/one.bin", 41}, {"s2", "/two.bin", 42}, {"s3", "/three.bin", 43}};
};

} // namespace

TEST_F(StopTest, StopPausesEachRunningTransferOnceAndANewComponentFinishesThem)
{
    startComponent();
    for (const Transfer& transfer : transfers)
        startRequest(transfer.session, url(transfer.path), inFolder(),
                     GeneratedBody::sha1(transfer.seed, size).toHex().toStdString());
    std::map<std::string, HaulwrightPersistedRequest> records;
    for (const Transfer& transfer : transfers) {
        ASSERT_TRUE(waitUntil([&] { return persisted(transfer.session, records[transfer.session]); }, 10000));
        ASSERT_TRUE(waitPartial(records[transfer.session].temporalFilename, 50000)) << transfer.session;
    }
    ASSERT_EQ(3u, component->activeCount());

    QElapsedTimer clock;
    clock.start();
    component->stop();
    const qint64 stopMs = clock.elapsed();
    // Checked at once: stop must not return while a transfer is still registered.
    EXPECT_EQ(0u, component->activeCount());
    EXPECT_EQ(0u, component->reservationCount());
    std::map<std::string, qint64> kept;
    for (const Transfer& transfer : transfers)
        kept[transfer.session] = sizeOf(records[transfer.session].temporalFilename);
    // A transfer that ran on to its end would have taken about 5 s.
    EXPECT_LT(stopMs, 3000);

    ASSERT_TRUE(MessageBus::instance().waitIdle(5000));
    // A pause is never answered; a second effect (a restart, a completion) would be.
    EXPECT_TRUE(replies.messages().empty()) << replies.messages().front()->getMessageType();
    for (const Transfer& transfer : transfers) {
        SCOPED_TRACE(transfer.session);
        EXPECT_EQ(1, requestsFor(transfer.path));
        HaulwrightPersistedRequest record;
        ASSERT_TRUE(persisted(transfer.session, record));
        EXPECT_EQ(records[transfer.session].temporalFilename, record.temporalFilename);
        const qint64 have = kept[transfer.session];
        EXPECT_GT(have, 0);
        EXPECT_LT(have, size);
        // Nothing writes to a paused transfer's file any more.
        EXPECT_EQ(have, sizeOf(record.temporalFilename));
        EXPECT_EQ(GeneratedBody::content(transfer.seed, 0, have), readAll(record.temporalFilename));
    }
    component.reset();

    startComponent();
    server.clearRequests();
    for (const Transfer& transfer : transfers)
        send(makeMessage("Resume", transfer.session));
    for (const Transfer& transfer : transfers) {
        SCOPED_TRACE(transfer.session);
        const auto reply = awaitReply(transfer.session, 30000);
        ASSERT_TRUE(reply);
        EXPECT_EQ("WasFinished", reply->getMessageType()) << textOf(reply);
        EXPECT_EQ(inFolder() + transfer.path.toStdString(), textOf(reply));
        EXPECT_EQ(GeneratedBody::content(transfer.seed, 0, size), readAll(textOf(reply)));
    }
    ASSERT_TRUE(MessageBus::instance().waitIdle(5000));
    for (const Transfer& transfer : transfers) {
        SCOPED_TRACE(transfer.session);
        ASSERT_EQ(1, requestsFor(transfer.path));
        for (const RecordedRequest& request : server.requests()) {
            if (request.path == transfer.path) {
                EXPECT_EQ("bytes=" + QByteArray::number(kept[transfer.session]) + "-", request.header("Range"));
            }
        }
        EXPECT_EQ(1u, repliesFor(transfer.session).size());
        HaulwrightPersistedRequest record;
        EXPECT_FALSE(persisted(transfer.session, record));
    }
    EXPECT_TRUE(partialFiles().isEmpty()) << partialFiles().join(", ").toStdString();
}
