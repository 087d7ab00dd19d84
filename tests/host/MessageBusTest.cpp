#include "MessageBus.h"

#include "CallbackSink.h"
#include "LocalMessage.h"
#include "MessageCollector.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

boost::shared_ptr<LocalMessage> makeMessage(const std::string& topic, const std::string& type,
                                            const std::string& session = std::string())
{
    CommonMessageProperties props;
    props.topic = topic;
    props.messageType = type;
    props.sessionId = UUId(session);
    return boost::shared_ptr<LocalMessage>(new LocalMessage(props));
}

auto ofType(const std::string& type)
{
    return [type](const LocalMessage& m) { return m.getMessageType() == type; };
}

bool eventually(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Opened once by the test; deliveries wait on it.
class Gate
{
public:
    void open() { promise.set_value(); }
    void wait() const { future.wait(); }

private:
    std::promise<void> promise;
    std::shared_future<void> future = promise.get_future().share();
};

class MessageBusTest : public testing::Test
{
protected:
    void TearDown() override
    {
        bus.setPostFilter({});
        bus.restart();
        EXPECT_TRUE(bus.waitIdle(10000));
    }

    MessageBus& bus = MessageBus::instance();
};

TEST_F(MessageBusTest, GetInstanceIsTheProcessWideBus)
{
    EXPECT_EQ(MessageDispatcher::getInstance(), &bus);
}

// A Start delivery keeps its thread for a whole download; later messages must still arrive.
TEST_F(MessageBusTest, DeliversWhileEarlierDeliveriesAreBlocked)
{
    const std::string topic = "target://Blocked/*";
    constexpr int blockers = 12;
    Gate gate;
    std::atomic<int> started{0};
    MessageCollector collector;
    CallbackSink sink([&](boost::shared_ptr<LocalMessage> m) {
        if (m->getMessageType() == "Start") {
            ++started;
            gate.wait();
        } else {
            collector.onMessage(m);
        }
    });
    ASSERT_EQ(bus.subscribe(&sink, topic), 0);
    for (int i = 0; i < blockers; ++i)
        ASSERT_EQ(bus.post(makeMessage("target://Blocked/x", "Start")), 0);
    ASSERT_EQ(bus.post(makeMessage("target://Blocked/x", "Pause")), 0);

    const bool paused = collector.waitFor(ofType("Pause"), 5000);
    // Every blocked delivery holds a thread of its own at the same time.
    const bool allStarted = eventually([&] { return started.load() == blockers; }, 5000);
    gate.open();
    EXPECT_TRUE(paused);
    EXPECT_TRUE(allStarted) << started.load() << " of " << blockers << " started";
    EXPECT_TRUE(bus.waitIdle(5000));
    bus.unsubscribe(&sink, "");
}

TEST_F(MessageBusTest, MatchesExactTopicsAndSlashStarPrefixes)
{
    MessageCollector prefix, exact, other, longer;
    ASSERT_EQ(bus.subscribe(&prefix, "target://Match/X/*"), 0);
    ASSERT_EQ(bus.subscribe(&exact, "event://Match/Download"), 0);
    ASSERT_EQ(bus.subscribe(&other, "target://Match/Y/*"), 0);
    ASSERT_EQ(bus.subscribe(&longer, "target://Match/X/a/*"), 0);

    const char* topics[] = {"target://Match/X/anything",
                            "target://Match/X/a/b",
                            "target://Match/X",
                            "target://Match/Xa/b",
                            "target://Match/Y/a",
                            "event://Match/Download",
                            "event://Match/DownloadStatus/1",
                            "event://Match/Download/*"};
    for (const char* t : topics)
        ASSERT_EQ(bus.post(makeMessage(t, t)), 0);
    ASSERT_TRUE(bus.waitIdle(5000));

    auto types = [](const MessageCollector& c) {
        std::multiset<std::string> out;
        for (const auto& m : c.messages())
            out.insert(m->getMessageType());
        return out;
    };
    EXPECT_EQ(types(prefix), (std::multiset<std::string>{"target://Match/X/anything", "target://Match/X/a/b"}));
    EXPECT_EQ(types(exact), (std::multiset<std::string>{"event://Match/Download"}));
    EXPECT_EQ(types(other), (std::multiset<std::string>{"target://Match/Y/a"}));
    EXPECT_EQ(types(longer), (std::multiset<std::string>{"target://Match/X/a/b"}));
}

TEST_F(MessageBusTest, OneDeliveryPerMatchingSubscription)
{
    MessageCollector collector;
    ASSERT_EQ(bus.subscribe(&collector, "target://Twice/*"), 0);
    ASSERT_EQ(bus.subscribe(&collector, "target://Twice/a"), 0);
    ASSERT_EQ(bus.subscribe(&collector, "target://Twice/a"), 0); // the same subscription again
    EXPECT_EQ(bus.subscriptionCount(&collector), 2u);
    ASSERT_EQ(bus.post(makeMessage("target://Twice/a", "m")), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(collector.count("m"), 2u);

    bus.unsubscribe(&collector, "target://Twice/a");
    EXPECT_EQ(bus.subscriptionCount(&collector), 1u);
    ASSERT_EQ(bus.post(makeMessage("target://Twice/a", "n")), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(collector.count("n"), 1u);

    bus.unsubscribe(&collector, "");
    EXPECT_EQ(bus.subscriptionCount(&collector), 0u);
    ASSERT_EQ(bus.post(makeMessage("target://Twice/a", "o")), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(collector.count("o"), 0u);
}

TEST_F(MessageBusTest, RefusesPostsAfterShutdownAndAcceptsAfterRestart)
{
    MessageCollector collector;
    ASSERT_EQ(bus.subscribe(&collector, "event://Shutdown"), 0);
    bus.shutdown();
    EXPECT_NE(bus.post(makeMessage("event://Shutdown", "refused")), 0);
    bus.restart();
    EXPECT_EQ(bus.post(makeMessage("event://Shutdown", "accepted")), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(collector.count("refused"), 0u);
    EXPECT_EQ(collector.count("accepted"), 1u);
    EXPECT_NE(bus.post(boost::shared_ptr<LocalMessage>()), 0);
}

TEST_F(MessageBusTest, ShutdownWaitsForRunningAndQueuedDeliveries)
{
    std::atomic<int> finished{0};
    std::promise<void> firstStarted;
    std::atomic<bool> first{true};
    CallbackSink sink([&](boost::shared_ptr<LocalMessage>) {
        if (first.exchange(false))
            firstStarted.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ++finished;
    });
    ASSERT_EQ(bus.subscribe(&sink, "event://SlowShutdown"), 0);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(bus.post(makeMessage("event://SlowShutdown", "slow")), 0);
    firstStarted.get_future().wait();
    bus.shutdown();
    EXPECT_EQ(finished.load(), 5);
    bus.restart();
}

TEST_F(MessageBusTest, PostFilterRefusesChosenMessages)
{
    MessageCollector collector;
    ASSERT_EQ(bus.subscribe(&collector, "event://Filter"), 0);
    bus.setPostFilter([](const LocalMessage& m) { return m.getMessageType() != "drop"; });
    EXPECT_NE(bus.post(makeMessage("event://Filter", "drop")), 0);
    EXPECT_EQ(bus.post(makeMessage("event://Filter", "keep")), 0);
    bus.setPostFilter({});
    EXPECT_EQ(bus.post(makeMessage("event://Filter", "drop")), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(collector.count("drop"), 1u);
    EXPECT_EQ(collector.count("keep"), 1u);
}

TEST_F(MessageBusTest, FullUnsubscribeWaitsForDeliveryOnAnotherThread)
{
    Gate gate;
    std::promise<void> entered;
    std::atomic<bool> running{false};
    auto sink = std::make_unique<CallbackSink>([&](boost::shared_ptr<LocalMessage>) {
        running = true;
        entered.set_value();
        gate.wait();
        running = false;
    });
    ASSERT_EQ(bus.subscribe(sink.get(), "event://Withdraw"), 0);
    ASSERT_EQ(bus.post(makeMessage("event://Withdraw", "busy")), 0);
    entered.get_future().wait();

    auto withdrawn = std::async(std::launch::async, [&] {
        bus.unsubscribe(sink.get(), "");
        return running.load();
    });
    EXPECT_EQ(withdrawn.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    // The subscription is gone at once even though the call is still waiting.
    EXPECT_EQ(bus.subscriptionCount(sink.get()), 0u);
    EXPECT_EQ(bus.post(makeMessage("event://Withdraw", "late")), 0);
    gate.open();
    ASSERT_EQ(withdrawn.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(withdrawn.get()); // returned only after the delivery ended
    sink.reset();                  // destroying it must not wait again or crash
}

TEST_F(MessageBusTest, UnsubscribeFromInsideADeliveryDoesNotDeadlock)
{
    std::atomic<int> calls{0};
    std::promise<void> done;
    CallbackSink* self = nullptr;
    CallbackSink sink([&](boost::shared_ptr<LocalMessage>) {
        ++calls;
        MessageBus::instance().unsubscribe(self, "");
        done.set_value();
    });
    self = &sink;
    ASSERT_EQ(bus.subscribe(&sink, "event://SelfWithdraw"), 0);
    ASSERT_EQ(bus.post(makeMessage("event://SelfWithdraw", "a")), 0);
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ASSERT_TRUE(bus.waitIdle(5000));
    ASSERT_EQ(bus.post(makeMessage("event://SelfWithdraw", "b")), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(MessageBusTest, NoDeliveryStartsAfterFullUnsubscribeReturns)
{
    std::atomic<int> deliveries{0};
    CallbackSink sink([&](boost::shared_ptr<LocalMessage>) {
        ++deliveries;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    ASSERT_EQ(bus.subscribe(&sink, "event://Dropped"), 0);
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        while (!stop) {
            bus.post(makeMessage("event://Dropped", "m"));
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    while (deliveries < 20)
        std::this_thread::yield();
    bus.unsubscribe(&sink, "");
    const int atReturn = deliveries.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    poster.join();
    ASSERT_TRUE(bus.waitIdle(10000));
    EXPECT_EQ(deliveries.load(), atReturn);
}

TEST_F(MessageBusTest, ExceptionsFromSinksAreContained)
{
    MessageCollector collector;
    CallbackSink thrower([](boost::shared_ptr<LocalMessage>) { throw std::runtime_error("sink failure"); });
    CallbackSink oddThrower([](boost::shared_ptr<LocalMessage>) { throw 42; });
    ASSERT_EQ(bus.subscribe(&thrower, "event://Throw"), 0);
    ASSERT_EQ(bus.subscribe(&oddThrower, "event://Throw"), 0);
    ASSERT_EQ(bus.subscribe(&collector, "event://Throw"), 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(bus.post(makeMessage("event://Throw", "m")), 0);
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(collector.count("m"), 20u);
}

TEST_F(MessageBusTest, ConcurrentPostsAreEachDeliveredExactlyOnce)
{
    constexpr int posters = 4;
    constexpr int perPoster = 250;
    MessageCollector collector;
    ASSERT_EQ(bus.subscribe(&collector, "event://Many/*"), 0);
    std::vector<std::thread> threads;
    for (int p = 0; p < posters; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < perPoster; ++i)
                bus.post(makeMessage("event://Many/" + std::to_string(p), "m", std::to_string(p * perPoster + i)));
        });
    }
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(bus.waitIdle(10000));
    std::set<std::string> sessions;
    for (const auto& m : collector.messages())
        sessions.insert(m->getSessionId().getValue());
    EXPECT_EQ(collector.messages().size(), std::size_t(posters * perPoster));
    EXPECT_EQ(sessions.size(), std::size_t(posters * perPoster));
}

// With one delivery at a time (each waits for the previous), arrival follows posting order.
TEST_F(MessageBusTest, SequentialPostsArriveInOrder)
{
    MessageCollector collector;
    ASSERT_EQ(bus.subscribe(&collector, "event://Order"), 0);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(bus.post(makeMessage("event://Order", std::to_string(i))), 0);
        ASSERT_TRUE(bus.waitIdle(5000));
    }
    const auto messages = collector.messages();
    ASSERT_EQ(messages.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(messages[i]->getMessageType(), std::to_string(i));
}

TEST_F(MessageBusTest, CollectorWaitForTimesOutWithoutAMatch)
{
    MessageCollector collector;
    collector.onMessage(makeMessage("t", "present"));
    EXPECT_TRUE(collector.waitFor(ofType("present"), 0));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(collector.waitFor(ofType("absent"), 100));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    collector.clear();
    EXPECT_EQ(collector.count("present"), 0u);
}

} // namespace
