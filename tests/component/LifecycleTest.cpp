#include "ComponentFixture.h"
#include "Configuration.h"
#include "HostLogger.h"
#include "MessageBus.h"

#include <limits>

namespace {

struct LimitCase
{
    const char* text; // null: key missing
    std::uint64_t expected;
};

class MaxDownloadsTest : public ComponentTest, public ::testing::WithParamInterface<LimitCase>
{
};

} // namespace

TEST_P(MaxDownloadsTest, LimitFromConfiguration)
{
    if (GetParam().text)
        Configuration::instance().set("Downloader/MaxDownloads", GetParam().text);
    EXPECT_EQ(GetParam().expected, startComponent().getMaxDownloads());
    EXPECT_TRUE(logTexts().empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, MaxDownloadsTest,
                         ::testing::Values(LimitCase{"3", 3}, LimitCase{"abc", 50}, LimitCase{"", 50},
                                           LimitCase{nullptr, 50}, LimitCase{"0", 0}, LimitCase{"12x", 50},
                                           LimitCase{"-1", std::numeric_limits<std::uint64_t>::max()}));

TEST_F(ComponentTest, LimitZeroRefusesEveryStartAndResume)
{
    Configuration::instance().set("Downloader/MaxDownloads", "0");
    startComponent();
    send(makeMessage("Start", "s1", startPayload("http://127.0.0.1:1/a")));
    send(makeMessage("Resume", "s2"));
    for (const char* session : {"s1", "s2"}) {
        const auto reply = awaitReply(session);
        ASSERT_TRUE(reply) << session;
        EXPECT_EQ("DownloaderError", reply->getMessageType());
        EXPECT_EQ(257, codeOf(reply));
        EXPECT_EQ("Max number of allowed concurrent downloads reached", textOf(reply));
    }
    EXPECT_EQ(0u, component->reservationCount());
}

TEST_F(ComponentTest, StartSubscribesBothTopicsAndStopWithdrawsThem)
{
    Haulwright& haul = startComponent();
    EXPECT_EQ(2u, MessageBus::instance().subscriptionCount(&haul));

    // Requests addressed to the component's target topic reach it too.
    auto pause = makeMessage("Pause", "t1");
    CommonMessageProperties props;
    props.messageType = "Pause";
    props.topic = "target://Client/Component/Haulwright/jobs";
    props.replyTopic = replyTopic;
    props.sessionId = UUId("t1");
    MessageBus::instance().post(boost::shared_ptr<LocalMessage>(new LocalMessage(props)));
    ASSERT_TRUE(awaitReply("t1"));

    haul.stop();
    EXPECT_EQ(0u, MessageBus::instance().subscriptionCount(&haul));
    send(makeMessage("Pause", "t2"));
    MessageBus::instance().waitIdle(2000);
    EXPECT_FALSE(awaitReply("t2", 300));
}

TEST_F(ComponentTest, StoreThatCannotBeOpenedIsLoggedAndTheComponentStillAnswers)
{
    Configuration::instance().unset("Directories/DataPath");
    Haulwright& haul = startComponent();
    EXPECT_FALSE(haul.hasStore());
    const auto texts = logTexts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ(0u, texts[0].find("HAULWRIGHT: Init schema failed. Reason: "));
    EXPECT_GT(texts[0].size(), std::string("HAULWRIGHT: Init schema failed. Reason: ").size());
    EXPECT_EQ(0u, HostLogger::instance().captured().front().find("Haulwright["));

    // Without a store an abort cannot know the download: nothing is claimed discarded,
    // and a resume has no partial file to continue.
    send(makeMessage("Abort", "a1"));
    auto reply = awaitReply("a1");
    ASSERT_TRUE(reply);
    EXPECT_EQ("DownloaderError", reply->getMessageType());
    EXPECT_EQ(272, codeOf(reply));
    send(makeMessage("Resume", "r1"));
    reply = awaitReply("r1");
    ASSERT_TRUE(reply);
    EXPECT_EQ(269, codeOf(reply));
    EXPECT_EQ("Unknown filename to be resumed", textOf(reply));
}

TEST_F(ComponentTest, FailedFirstSubscriptionDoesNotStopTheRest)
{
    Configuration::instance().set("Downloader/MaxDownloads", "4");
    MessageBus::instance().setSubscribeFilter(
        [](const std::string& topic) { return topic != "event://Client/Service/Download"; });
    Haulwright& haul = startComponent();
    MessageBus::instance().setSubscribeFilter({});
    EXPECT_EQ(std::vector<std::string>{"The Haulwright can't be subscribed"}, logTexts());
    EXPECT_EQ(1u, MessageBus::instance().subscriptionCount(&haul));
    EXPECT_EQ(4u, haul.getMaxDownloads());
}
