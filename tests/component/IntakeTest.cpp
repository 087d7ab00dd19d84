#include "ComponentFixture.h"
#include "Configuration.h"
#include "HostLogger.h"
#include "MessageBus.h"
#include "StatusReportPayload.h"

#include <atomic>
#include <thread>

TEST_F(ComponentTest, UnknownOrMisspelledTypesAreIgnoredSilently)
{
    startComponent();
    send(makeMessage("start", "x1", startPayload("http://127.0.0.1:1/a")));
    send(makeMessage("Progress", "x2"));
    send(makeMessage("", "x3"));
    ASSERT_TRUE(MessageBus::instance().waitIdle(5000));
    EXPECT_TRUE(replies.messages().empty());
    EXPECT_TRUE(logTexts().empty());
}

TEST_F(ComponentTest, RepliesCarryPrioritySessionAndReplyTopic)
{
    startComponent();
    send(makeMessage("Pause", "p-7", {}, 7));
    const auto reply = awaitReply("p-7");
    ASSERT_TRUE(reply);
    EXPECT_EQ("DownloaderError", reply->getMessageType());
    EXPECT_EQ(7, reply->getPriority());
    EXPECT_EQ(replyTopic, reply->getTopic());
    EXPECT_EQ("", reply->getReplyTopic());
    EXPECT_EQ(270, codeOf(reply));
    EXPECT_EQ("No file to stop", textOf(reply));
    EXPECT_EQ("StatusReport", reply->getPayload()->getSerializableType());
    EXPECT_EQ(std::vector<std::string>{" No file to stop"}, logTexts());
}

TEST_F(ComponentTest, RequestWithoutReplyTopicIsStillAnsweredOnTheEmptyTopic)
{
    std::vector<boost::shared_ptr<LocalMessage>> posted;
    std::mutex postedMutex;
    MessageBus::instance().setPostFilter([&](const LocalMessage& m) {
        std::lock_guard<std::mutex> lock(postedMutex);
        if (m.getMessageType() == "DownloaderError")
            posted.push_back(boost::shared_ptr<LocalMessage>(new LocalMessage(m)));
        return true;
    });
    startComponent();
    component->onMessage(makeMessage("Pause", "e1", {}, 3, ""));
    std::lock_guard<std::mutex> lock(postedMutex);
    ASSERT_EQ(1u, posted.size());
    EXPECT_EQ("", posted[0]->getTopic());
    EXPECT_EQ("e1", posted[0]->getSessionId().getValue());
    EXPECT_EQ(3, posted[0]->getPriority());
}

TEST_F(ComponentTest, RefusedPostsAreLoggedOnlyForOutcomeReports)
{
    startComponent();
    MessageBus::instance().setPostFilter([](const LocalMessage&) { return false; });
    const auto request = makeMessage("Start", "r1");
    component->postMessage("WasFailed", request, 261, "Download failed.");
    EXPECT_EQ(std::vector<std::string>{" ERROR: Could not post message."}, logTexts());
    clearLog();
    component->postErrorMessage("DownloaderError", request, 270, "No file to stop");
    EXPECT_TRUE(logTexts().empty());
}

TEST_F(ComponentTest, ExceptionEscapingAHandlerIsContainedAndTheNextMessageIsHandled)
{
    startComponent();
    // The log sink fails on the pause handler's own line; the handler has no guard of its own.
    HostLogger::instance().failOnce(" No file to stop", "log sink is full");
    component->onMessage(makeMessage("Pause", "f1"));
    EXPECT_EQ((std::vector<std::string>{"Exception caught.", "log sink is full"}), logTexts());
    EXPECT_FALSE(awaitReply("f1", 200));

    clearLog();
    component->onMessage(makeMessage("Pause", "f2"));
    const auto reply = awaitReply("f2");
    ASSERT_TRUE(reply);
    EXPECT_EQ(270, codeOf(reply));
}

TEST_F(ComponentTest, ReservationsHonourTheLimit)
{
    Configuration::instance().set("Downloader/MaxDownloads", "2");
    Haulwright& haul = startComponent();
    EXPECT_TRUE(haul.reserveSlot());
    EXPECT_TRUE(haul.reserveSlot());
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(haul.reserveSlot());
    EXPECT_EQ(2u, haul.reservationCount());
    haul.releaseSlot();
    EXPECT_TRUE(haul.reserveSlot());
    EXPECT_FALSE(haul.reserveSlot());
    haul.releaseSlot();
    haul.releaseSlot();
    EXPECT_EQ(0u, haul.reservationCount());
}

TEST_F(ComponentTest, RegistryLookupsAndRemovals)
{
    Haulwright& haul = startComponent();
    EXPECT_EQ(nullptr, haul.findDownload(UUId("nobody")));
    haul.abortDownload(UUId("nobody"));
    EXPECT_EQ(0u, haul.activeCount());

    ASSERT_EQ(0, haul.claimSession(UUId("k"), false));
    IDownloader* transfer = haul.createDownloader(dataPath + "k.part", makeMessage("Start", "k"));
    haul.registerDownload(UUId("k"), transfer);
    EXPECT_TRUE(haul.isRegistered(UUId("k")));
    EXPECT_EQ(transfer, haul.findDownload(UUId("k")));
    EXPECT_EQ(0u, haul.reservationCount());
    // Pause and abort of a transfer that never ran change nothing.
    haul.abortDownload(UUId("k"));
    transfer->pause();
    EXPECT_EQ(NotStarted, transfer->getState());

    EXPECT_TRUE(haul.removeDownload(UUId("k")));
    EXPECT_TRUE(logTexts().empty());
    EXPECT_TRUE(haul.removeDownload(UUId("k")));
    EXPECT_EQ(std::vector<std::string>{" ERROR. Local message not deleted from the map - not found"}, logTexts());
    delete transfer;
}

TEST_F(ComponentTest, ConcurrentClaimsOfOneSessionLetExactlyOneThrough)
{
    Haulwright& haul = startComponent();
    for (int round = 0; round < 20; ++round) {
        const UUId id("same-" + std::to_string(round));
        std::atomic<int> admitted{0}, busy{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                const int result = haul.claimSession(id, false);
                (result == 0 ? admitted : busy)++;
            });
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(1, admitted.load());
        EXPECT_EQ(7, busy.load());
        haul.releaseClaim(id);
    }
    EXPECT_EQ(0u, haul.reservationCount());
}

TEST_F(ComponentTest, StartWithoutOrWithWrongPayloadIsRefusedAndGivesItsPlaceBack)
{
    Configuration::instance().set("Downloader/MaxDownloads", "1");
    startComponent();
    send(makeMessage("Start", "np"));
    auto reply = awaitReply("np");
    ASSERT_TRUE(reply);
    EXPECT_EQ(260, codeOf(reply));
    EXPECT_EQ("No payload received", textOf(reply));

    send(makeMessage("Start", "wp", boost::shared_ptr<ISerializable>(new StatusReportPayload(1, "x"))));
    reply = awaitReply("wp");
    ASSERT_TRUE(reply);
    EXPECT_EQ("DownloaderError", reply->getMessageType());
    EXPECT_EQ(260, codeOf(reply));
    EXPECT_EQ("std::bad_cast", textOf(reply));
    EXPECT_EQ(0u, component->reservationCount());
    // The single place is free again.
    EXPECT_TRUE(component->reserveSlot());
    component->releaseSlot();
    const auto texts = logTexts();
    EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(),
                                     "Received download start request message with no payload"));
    EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), "Critical unknown error"));
}
