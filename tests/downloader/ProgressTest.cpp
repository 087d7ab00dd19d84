#include "Configuration.h"
#include "MessageBus.h"
#include "ProgressReportPayload.h"
#include "TransferFixture.h"

namespace {

class ProgressTest : public TransferTest
{
protected:
    void SetUp() override
    {
        TransferTest::SetUp();
        MessageBus::instance().subscribe(&progress, "event://Client/Service/DownloadStatus/*");
    }
    void TearDown() override
    {
        MessageBus::instance().unsubscribe(&progress, "");
        TransferTest::TearDown();
    }
    Route slowRoute(qint64 size)
    {
        Route route;
        route.generatedSize = size;
        route.seed = 9;
        route.bytesPerSecond = 400000;
        return route;
    }
    MessageCollector progress;
};

const ProgressReportPayload& report(const boost::shared_ptr<LocalMessage>& message)
{
    return dynamic_cast<const ProgressReportPayload&>(*message->getPayload());
}

} // namespace

TEST_F(ProgressTest, ReportsAreThrottledAndCarryBytesTotalsAndRate)
{
    Configuration::instance().set("Downloader/StatusInterval", "100");
    server.route("/slow.bin", slowRoute(400000));
    startComponent();
    const auto reply = download("pg", url("/slow.bin"), inFolder());
    ASSERT_TRUE(reply);
    ASSERT_EQ("WasFinished", reply->getMessageType());
    ASSERT_TRUE(MessageBus::instance().waitIdle(5000));

    const auto reports = progress.messages();
    // About one second of transfer at one report per 100 ms.
    ASSERT_GE(reports.size(), 3u);
    EXPECT_LE(reports.size(), 15u);
    std::uint64_t previous = 0;
    for (const auto& message : reports) {
        EXPECT_EQ("Progress", message->getMessageType());
        EXPECT_EQ("event://Client/Service/DownloadStatus/pg", message->getTopic());
        EXPECT_EQ(1, message->getPriority());
        EXPECT_EQ("pg", message->getSessionId().getValue());
        EXPECT_EQ("", message->getReplyTopic());
        const auto& payload = report(message);
        EXPECT_EQ(400000u, payload.getTotalBytes());
        EXPECT_GT(payload.getCurrentBytes(), previous);
        EXPECT_GT(payload.getBytesPerSecond(), 100000u);
        EXPECT_LT(payload.getBytesPerSecond(), 2000000u);
        previous = payload.getCurrentBytes();
    }
}

TEST_F(ProgressTest, NoReportsWhenTurnedOffOrWithoutAnnouncedLength)
{
    Configuration::instance().set("Downloader/StatusInterval", "0");
    server.route("/slow.bin", slowRoute(200000));
    Route unknown = slowRoute(200000);
    unknown.sendContentLength = false;
    server.route("/unknown.bin", unknown);
    startComponent();
    auto reply = download("off", url("/slow.bin"), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());

    Configuration::instance().set("Downloader/StatusInterval", "20");
    reply = download("nolength", url("/unknown.bin"), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    ASSERT_TRUE(MessageBus::instance().waitIdle(5000));
    EXPECT_TRUE(progress.messages().empty());
}

TEST_F(ProgressTest, RefusedReportIsLoggedOnceEachAndTheTransferGoesOn)
{
    Configuration::instance().set("Downloader/StatusInterval", "100");
    server.route("/slow.bin", slowRoute(300000));
    startComponent();
    MessageBus::instance().setPostFilter([](const LocalMessage& m) { return m.getMessageType() != "Progress"; });
    const auto reply = download("refused", url("/slow.bin"), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    const auto texts = logTexts();
    ASSERT_GE(texts.size(), 2u);
    for (const std::string& text : texts)
        EXPECT_EQ("DOWNLOADER: ERROR: Could not post message.", text);
    EXPECT_TRUE(progress.messages().empty());
}
