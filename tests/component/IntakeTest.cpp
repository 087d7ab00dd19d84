// Routing, replies, admission and the component's life on the bus.
#include "ComponentFixture.h"
#include "Configuration.h"
#include "HostLogger.h"
#include "MessageBus.h"
#include "StatusReportPayload.h"

#include <atomic>
#include <regex>
#include <thread>
#include <tuple>

using Texts = std::vector<std::string>;

TEST_F(ComponentTest, MessagesAreRoutedByExactTypeAndAnsweredOnTheirReplyTopicWhateverEscapes)
{
    Message last;
    // Handlers run synchronously in onMessage below: the post filter sees their replies on this thread.
    MessageBus::instance().setPostFilter([&](const LocalMessage& m) {
        last.reset(new LocalMessage(m));
        return true;
    });
    startComponent();
    // Nothing listens on port 1: a handled Start would be answered.
    for (const char* type : {"start", "Progress", "", "PAUSE"})
        component->onMessage(makeMessage(type, "x", startPayload("http://127.0.0.1:1/a")));
    EXPECT_FALSE(last);
    EXPECT_EQ(Texts(), logTexts());
    // No reply topic: answered all the same, on the empty topic.
    for (const auto& [session, priority, topic] :
         std::vector<std::tuple<std::string, int, std::string>>{{"p7", 7, replyTopic}, {"e3", 3, ""}}) {
        component->onMessage(makeMessage("Pause", session, {}, priority, topic));
        ASSERT_TRUE(isReport(last, "DownloaderError", 270, "No file to stop")) << session;
        EXPECT_EQ(std::make_tuple(session, priority, topic, std::string()),
                  std::make_tuple(last->getSessionId().getValue(), last->getPriority(), last->getTopic(),
                                  last->getReplyTopic()));
    }
    EXPECT_EQ(Texts(2, " No file to stop"), logTexts());

    // The pause handler has no guard of its own: a failing log line escapes it.
    clearLog();
    last.reset();
    HostLogger::instance().failOnce(" No file to stop", "log sink is full");
    component->onMessage(makeMessage("Pause", "f1"));
    EXPECT_EQ((Texts{"Exception caught.", "log sink is full"}), logTexts());
    EXPECT_FALSE(last);
    component->onMessage(makeMessage("Pause", "f2"));
    EXPECT_TRUE(isReport(last, "DownloaderError", 270, "No file to stop"));

    // A refused post is logged for outcome reports only.
    clearLog();
    MessageBus::instance().setPostFilter([](const LocalMessage&) { return false; });
    component->postMessage("WasFailed", makeMessage("Start", "r"), 261, "Download failed.");
    component->postErrorMessage("DownloaderError", makeMessage("Start", "r"), 270, "No file to stop");
    EXPECT_EQ(Texts{" ERROR: Could not post message."}, logTexts());
}

TEST_F(ComponentTest, AdmissionHonoursTheLimitAndEveryRefusalGivesItsPlaceBack)
{
    Configuration::instance().set("Downloader/MaxDownloads", "1");
    startComponent();
    // Each is refused after admission, so each must hand the single place back.
    send(makeMessage("Start", "np"));
    EXPECT_TRUE(isReport(awaitReply("np"), "DownloaderError", 260, "No payload received"));
    send(makeMessage("Start", "wp", boost::shared_ptr<ISerializable>(new StatusReportPayload(1, "x"))));
    EXPECT_TRUE(isReport(awaitReply("wp"), "DownloaderError", 260, "std::bad_cast"));
    send("Resume", "nr");
    EXPECT_TRUE(isReport(awaitReply("nr"), "DownloaderError", 269, "Unknown filename to be resumed"));

    const std::string url = server.url("/a.bin?size=100000&seed=5&at=1000&stall=-1");
    start("a", url, in());
    ASSERT_TRUE(waitRunning("a"));
    const std::string partial = recordedPartial("a");
    EXPECT_TRUE(partial.find(in("a")) == 0 &&
                std::regex_match(partial.substr(in("a").size()), std::regex("[0-9]{10}\\.part")))
        << partial;
    const std::string busy = "Session ID is already in use",
                      full = "Max number of allowed concurrent downloads reached";
    // A busy session is refused as busy by a Start, but a Resume hears of the limit first.
    for (const auto& [type, session, code, text] :
         std::vector<std::tuple<std::string, std::string, int, std::string>>{{"Start", "a", 275, busy},
                                                                             {"Resume", "a", 257, full},
                                                                             {"Start", "b", 257, full},
                                                                             {"Resume", "b", 257, full}}) {
        replies.clear();
        send(makeMessage(type, session, type == "Start" ? startPayload(url, in()) : nullptr));
        EXPECT_TRUE(isReport(awaitReply(session), "DownloaderError", code, text)) << type << " " << session;
    }
    send("Pause", "a");
    ASSERT_TRUE(waitUntil([&] { return component->activeCount() + component->reservationCount() == 0; }));
    server.script("/a.bin", "size=100000&seed=5");
    EXPECT_TRUE(isReport(resume("a"), "WasFinished", 0, in("a.bin")));
    EXPECT_EQ(body(100000, 5), readFile(in("a.bin")));
}

TEST_F(ComponentTest, LimitComesFromConfigurationWithTheDefaultForAnyTextThatIsNoNumber)
{
    // 61: no limit at all.
    for (const auto& [text, limit] : std::vector<std::pair<const char*, int>>{
             {"3", 3}, {"abc", 50}, {"", 50}, {nullptr, 50}, {"0", 0}, {"12x", 50}, {"-1", 61}}) {
        SCOPED_TRACE(text ? text : "(no key)");
        text ? Configuration::instance().set("Downloader/MaxDownloads", text)
             : Configuration::instance().unset("Downloader/MaxDownloads");
        Haulwright& haul = startComponent();
        int admitted = 0;
        for (int i = 0; i < 61; ++i)
            admitted += haul.claimSession(UUId(std::to_string(i)), false) == Code::Ok ? 1 : 0;
        EXPECT_EQ(limit, admitted);
        for (int i = 0; i < admitted; ++i)
            haul.releaseClaim(UUId(std::to_string(i)));
        destroyComponent();
    }
    EXPECT_EQ(Texts(), logTexts());
}

TEST_F(ComponentTest, ConcurrentClaimsOfOneSessionLetExactlyOneThrough)
{
    Haulwright& haul = startComponent();
    for (int round = 0; round < 20; ++round) {
        const UUId id("same" + std::to_string(round));
        std::atomic<int> admitted{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] { admitted += haul.claimSession(id, false) == Code::Ok ? 1 : 0; });
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(1, admitted.load());
        for (int i = 0; i < admitted; ++i)
            haul.releaseClaim(id);
    }
}

TEST_F(ComponentTest, StartSubscribesBothTopicsEvenWhenTheFirstFailsAndStopWithdrawsThem)
{
    for (const bool refuseFirst : {false, true}) {
        SCOPED_TRACE(refuseFirst);
        clearLog();
        MessageBus::instance().setSubscribeFilter(
            [&](const std::string& topic) { return !refuseFirst || topic != "event://Client/Service/Download"; });
        Haulwright& haul = startComponent();
        MessageBus::instance().setSubscribeFilter({});
        EXPECT_EQ(refuseFirst ? 1u : 2u, MessageBus::instance().subscriptionCount(&haul));
        EXPECT_EQ(refuseFirst ? Texts{"The Haulwright can't be subscribed"} : Texts(), logTexts());
        const CommonMessageProperties target{"Pause",
                                             0,
                                             replyTopic,
                                             std::string(Haulwright::targetTopic) + "/jobs",
                                             UUId("t" + std::to_string(refuseFirst)),
                                             ""};
        send(Message(new LocalMessage(target)));
        EXPECT_TRUE(isReport(awaitReply(target.sessionId.getValue()), "DownloaderError", 270, "No file to stop"));
        haul.stop();
        EXPECT_EQ(0u, MessageBus::instance().subscriptionCount(&haul));
        destroyComponent();
    }
}

TEST_F(ComponentTest, StoreThatCannotBeOpenedIsLoggedAndTheComponentStillAnswers)
{
    Configuration::instance().unset("Directories/DataPath");
    startComponent();
    const std::string reason = "HAULWRIGHT: Init schema failed. Reason: ";
    ASSERT_EQ(1u, logTexts().size());
    EXPECT_EQ(0u, logTexts()[0].find(reason));
    EXPECT_GT(logTexts()[0].size(), reason.size());
    EXPECT_EQ(0u, HostLogger::instance().captured().front().find("Haulwright["));
    // Without a store nothing can be recorded, so nothing is started, and no abort claims success.
    start("s1", server.url("/any.bin?size=1000"), in());
    EXPECT_TRUE(isReport(awaitReply("s1"), "DownloaderError", 260, "Cannot store the download request"));
    send("Abort", "a1");
    EXPECT_TRUE(isReport(awaitReply("a1"), "DownloaderError", 272, "Critical unknown error"));
    send("Resume", "r1");
    EXPECT_TRUE(isReport(awaitReply("r1"), "DownloaderError", 269, "Unknown filename to be resumed"));
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_TRUE(partialFiles().isEmpty());
}
