#include "MessageBus.h"

#include "CallbackSink.h"
#include "Fixture.h"
#include "LocalMessage.h"
#include "MessageCollector.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

using Types = std::multiset<std::string>;

class MessageBusTest : public testing::Test
{
protected:
    void TearDown() override
    {
        bus.setPostFilter({});
        bus.restart();
        EXPECT_TRUE(bus.waitIdle(10000));
    }
    static boost::shared_ptr<LocalMessage> message(const std::string& topic, const std::string& type,
                                                   const std::string& session = "")
    {
        CommonMessageProperties props;
        props.topic = topic;
        props.messageType = type;
        props.sessionId = UUId(session);
        return boost::shared_ptr<LocalMessage>(new LocalMessage(props));
    }
    static Types types(const MessageCollector& c)
    {
        Types out;
        for (const auto& m : c.messages())
            out.insert(m->getMessageType());
        return out;
    }

    MessageBus& bus = MessageBus::instance();
};

// A Start delivery keeps its thread for a whole download; later messages must still arrive.
TEST_F(MessageBusTest, DeliversWhileEarlierDeliveriesAreBlocked)
{
    constexpr int blockers = 12;
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::atomic<int> started{0};
    std::atomic<bool> paused{false};
    CallbackSink sink([&](boost::shared_ptr<LocalMessage> m) {
        if (m->getMessageType() == "Pause") {
            paused = true;
            return;
        }
        ++started;
        gate.wait();
    });
    ASSERT_EQ(bus.subscribe(&sink, "target://Blocked/*"), 0);
    for (int i = 0; i < blockers; ++i)
        ASSERT_EQ(bus.post(message("target://Blocked/x", "Start")), 0);
    ASSERT_EQ(bus.post(message("target://Blocked/x", "Pause")), 0);
    // Every blocked delivery holds a thread of its own at the same time.
    const bool all = waitUntil([&] { return paused && started == blockers; }, 5000);
    release.set_value();
    EXPECT_TRUE(all) << started << " of " << blockers << " started, paused " << paused;
}

// Each subscription matching a topic gets one delivery; a repeated subscribe is not a second one.
TEST_F(MessageBusTest, MatchesExactTopicsAndSlashStarPrefixesOncePerSubscription)
{
    EXPECT_EQ(MessageDispatcher::getInstance(), &bus);
    const std::vector<std::pair<std::vector<std::string>, Types>> rows = {
        {{"target://M/X/*"}, {"target://M/X/any", "target://M/X/a/b"}},
        {{"event://M/Download"}, {"event://M/Download"}},
        {{"target://M/X/a/*"}, {"target://M/X/a/b"}},
        {{"target://M/X/a/*", "target://M/X/a/b", "target://M/X/a/b"}, {"target://M/X/a/b", "target://M/X/a/b"}}};
    std::vector<std::unique_ptr<MessageCollector>> collectors;
    for (const auto& row : rows) {
        collectors.push_back(std::make_unique<MessageCollector>());
        for (const std::string& pattern : row.first)
            ASSERT_EQ(bus.subscribe(collectors.back().get(), pattern), 0);
    }
    for (const char* t : {"target://M/X/any", "target://M/X/a/b", "target://M/X", "target://M/Xa/b",
                          "event://M/Download", "event://M/DownloadStatus/1", "event://M/Download/*"})
        ASSERT_EQ(bus.post(message(t, t)), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(types(*collectors[i]), rows[i].second) << "row " << i;

    // Withdrawing one topic keeps the sink's others.
    MessageCollector& both = *collectors.back();
    bus.unsubscribe(&both, "target://M/X/a/b");
    ASSERT_EQ(bus.post(message("target://M/X/a/b", "after")), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(both.count("after"), 1u);
}

TEST_F(MessageBusTest, RefusedPostsAreNotDeliveredAndShutdownWaitsForDeliveriesInFlight)
{
    std::atomic<int> finished{0};
    std::promise<void> firstStarted;
    CallbackSink slow([&](boost::shared_ptr<LocalMessage> m) {
        if (m->getMessageType() == "first")
            firstStarted.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ++finished;
    });
    ASSERT_EQ(bus.subscribe(&slow, "event://Slow"), 0);
    for (const char* type : {"first", "2", "3", "4", "5"})
        ASSERT_EQ(bus.post(message("event://Slow", type)), 0);
    firstStarted.get_future().wait();
    bus.shutdown();
    EXPECT_EQ(finished.load(), 5);

    MessageCollector collector;
    ASSERT_EQ(bus.subscribe(&collector, "event://Refuse"), 0);
    EXPECT_NE(bus.post(message("event://Refuse", "after shutdown")), 0);
    bus.restart();
    bus.setPostFilter([](const LocalMessage& m) { return m.getMessageType() != "filtered"; });
    EXPECT_NE(bus.post(message("event://Refuse", "filtered")), 0);
    EXPECT_EQ(bus.post(message("event://Refuse", "accepted")), 0);
    EXPECT_NE(bus.post(boost::shared_ptr<LocalMessage>()), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(types(collector), Types{"accepted"});
}

// The sink is usually destroyed right after a full unsubscribe, so it must not be running then;
// from inside its own delivery the call cannot wait for itself.
TEST_F(MessageBusTest, FullUnsubscribeWaitsForDeliveriesOnOtherThreadsOnly)
{
    std::promise<void> release, entered;
    std::atomic<bool> running{false};
    std::atomic<int> calls{0};
    auto sink = std::make_unique<CallbackSink>([&](boost::shared_ptr<LocalMessage>) {
        if (++calls > 1)
            return;
        running = true;
        entered.set_value();
        release.get_future().wait();
        running = false;
    });
    ASSERT_EQ(bus.subscribe(sink.get(), "event://Withdraw"), 0);
    ASSERT_EQ(bus.post(message("event://Withdraw", "busy")), 0);
    entered.get_future().wait();
    auto withdrawn = std::async(std::launch::async, [&] {
        bus.unsubscribe(sink.get(), "");
        return running.load();
    });
    EXPECT_EQ(withdrawn.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    // Gone at once, though the call still waits: this message finds no subscriber.
    EXPECT_EQ(bus.post(message("event://Withdraw", "late")), 0);
    release.set_value();
    ASSERT_EQ(withdrawn.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(withdrawn.get());
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(calls.load(), 1);
    sink.reset(); // its own unsubscribe must not wait again or crash

    std::atomic<int> selfCalls{0};
    CallbackSink* self = nullptr;
    CallbackSink selfWithdrawing([&](boost::shared_ptr<LocalMessage>) {
        ++selfCalls;
        MessageBus::instance().unsubscribe(self, "");
    });
    self = &selfWithdrawing;
    ASSERT_EQ(bus.subscribe(self, "event://SelfWithdraw"), 0);
    ASSERT_EQ(bus.post(message("event://SelfWithdraw", "a")), 0);
    ASSERT_TRUE(bus.waitIdle(5000)) << "unsubscribe from inside the delivery deadlocked";
    ASSERT_EQ(bus.post(message("event://SelfWithdraw", "b")), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(selfCalls.load(), 1);
}

// Deliveries still queued for the sink are dropped too, not started after the call returns.
TEST_F(MessageBusTest, NoDeliveryStartsAfterFullUnsubscribeReturns)
{
    std::atomic<int> deliveries{0};
    CallbackSink sink([&](boost::shared_ptr<LocalMessage>) { ++deliveries; });
    for (int round = 0; round < 20 && !HasFailure(); ++round) {
        ASSERT_EQ(bus.subscribe(&sink, "event://Dropped"), 0);
        // Right after a burst, some deliveries still wait for the workers just started for them.
        for (int i = 0; i < 50; ++i)
            ASSERT_EQ(bus.post(message("event://Dropped", "m")), 0);
        bus.unsubscribe(&sink, "");
        const int atReturn = deliveries.load();
        ASSERT_TRUE(bus.waitIdle(10000));
        EXPECT_EQ(deliveries.load(), atReturn) << "round " << round;
    }
}

// Sinks that throw beside the collector must neither lose nor repeat its deliveries.
TEST_F(MessageBusTest, ConcurrentPostsAreEachDeliveredOnceWhateverOtherSinksThrow)
{
    constexpr int posters = 4, perPoster = 250;
    MessageCollector collector;
    CallbackSink thrower([](boost::shared_ptr<LocalMessage>) { throw std::runtime_error("sink failure"); });
    CallbackSink oddThrower([](boost::shared_ptr<LocalMessage>) { throw 42; });
    for (IMessageSink* sink : std::initializer_list<IMessageSink*>{&thrower, &oddThrower, &collector})
        ASSERT_EQ(bus.subscribe(sink, "event://Many/*"), 0);
    std::vector<std::thread> threads;
    for (int p = 0; p < posters; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < perPoster; ++i)
                bus.post(message("event://Many/" + std::to_string(p), "m", std::to_string(p * perPoster + i)));
        });
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(bus.waitIdle(10000));
    std::set<std::string> sessions;
    for (const auto& m : collector.messages())
        sessions.insert(m->getSessionId().getValue());
    EXPECT_EQ(collector.messages().size(), std::size_t(posters * perPoster));
    EXPECT_EQ(sessions.size(), std::size_t(posters * perPoster));
}

} // namespace
