#include "MessageBus.h"

#include "CallbackSink.h"
#include "HostTest.h"
#include "LocalMessage.h"
#include "MessageCollector.h"

#include <algorithm>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

boost::shared_ptr<LocalMessage> message(const std::string& topic, const std::string& type,
                                        const std::string& session = "")
{
    return boost::shared_ptr<LocalMessage>(new LocalMessage({type, 0, "", topic, UUId(session), ""}));
}

class MessageBusTest : public testing::Test
{
protected:
    void TearDown() override
    {
        bus.restart();
        EXPECT_TRUE(bus.waitIdle(10000));
    }
    void post(const std::string& topic, const std::string& type) { ASSERT_EQ(bus.post(message(topic, type)), 0); }

    MessageBus& bus = MessageBus::instance();
};

// A Start delivery keeps its thread for a whole download; later messages must still arrive,
// and shutdown must wait for every one of them.
TEST_F(MessageBusTest, DeliversWhileOthersBlockAndShutdownWaitsForThem)
{
    constexpr int blockers = 12;
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::atomic<int> started{0}, finished{0}, paused{0};
    CallbackSink sink([&](boost::shared_ptr<LocalMessage> m) {
        if (m->getMessageType() == "Pause")
            return void(++paused);
        ++started;
        gate.wait();
        ++finished;
    });
    ASSERT_EQ(bus.subscribe(&sink, "target://Blocked/*"), 0);
    for (int i = 0; i < blockers; ++i)
        post("target://Blocked/x", "Start");
    post("target://Blocked/x", "Pause");
    EXPECT_TRUE(waitUntil([&] { return paused && started == blockers; }, 5000)) << started << " started";
    auto stopped = std::async(std::launch::async, [&] { return bus.shutdown(), finished.load(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(stopped.get(), blockers);

    // Refused posts are not delivered.
    EXPECT_NE(bus.post(message("target://Blocked/x", "after shutdown")), 0);
    bus.restart();
    post("target://Blocked/x", "accepted");
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(started.load(), blockers + 1);
}

// One delivery per matching subscription: a repeated subscribe is not a second one.
TEST_F(MessageBusTest, MatchesExactTopicsAndSlashStarPrefixes)
{
    MessageCollector prefix, exact, twice;
    // clang-format off
    const std::vector<std::pair<MessageCollector*, const char*>> subscriptions = {{&prefix, "target://M/X/*"},
        {&exact, "event://M/Download"}, {&twice, "target://M/X/a/*"}, {&twice, "target://M/X/a/b"}, {&twice, "target://M/X/a/b"}};
    // clang-format on
    for (const auto& [sink, pattern] : subscriptions)
        ASSERT_EQ(bus.subscribe(sink, pattern), 0);
    for (const char* t : {"target://M/X/any", "target://M/X/a/b", "target://M/X", "target://M/Xa/b",
                          "event://M/Download", "event://M/DownloadStatus/1", "event://M/Download/*"})
        post(t, t);
    ASSERT_TRUE(bus.waitIdle(5000));
    const auto count = [](const MessageCollector& c, const char* type) { return std::to_string(c.count(type)); };
    // clang-format off
    EXPECT_EQ(std::to_string(prefix.messages().size()) + count(prefix, "target://M/X/any") + count(prefix, "target://M/X/a/b") + " " +
              std::to_string(exact.messages().size()) + count(exact, "event://M/Download") + " " +
              std::to_string(twice.messages().size()) + count(twice, "target://M/X/a/b"), "211 11 22");
    // clang-format on

    // Withdrawing one topic keeps the sink's others.
    bus.unsubscribe(&twice, "target://M/X/a/b");
    post("target://M/X/a/b", "after");
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(twice.count("after"), 1u);
}

// The sink is usually destroyed right after a full unsubscribe: deliveries running on other
// threads finish first, queued ones are dropped, and one running on the caller's own thread
// cannot be waited for.
TEST_F(MessageBusTest, FullUnsubscribeWaitsForOtherThreadsAndDropsQueuedDeliveries)
{
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::atomic<int> calls{0};
    CallbackSink sink([&](auto) { ++calls, gate.wait(); });
    ASSERT_EQ(bus.subscribe(&sink, "event://Withdraw"), 0);
    post("event://Withdraw", "busy");
    ASSERT_TRUE(waitUntil([&] { return calls == 1; }));
    auto withdrawn = std::async(std::launch::async, [&] { bus.unsubscribe(&sink, ""); });
    EXPECT_EQ(withdrawn.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    // Gone at once, though the call still waits: this message finds no subscriber.
    post("event://Withdraw", "late");
    release.set_value();
    withdrawn.get();
    ASSERT_TRUE(bus.waitIdle(5000));
    EXPECT_EQ(calls.load(), 1);

    // Right after a burst, some deliveries still wait for the workers just started for them.
    for (int round = 0; round < 20 && !HasFailure(); ++round) {
        ASSERT_EQ(bus.subscribe(&sink, "event://Dropped"), 0);
        for (int i = 0; i < 50; ++i)
            post("event://Dropped", "m");
        bus.unsubscribe(&sink, "");
        const int atReturn = calls.load();
        ASSERT_TRUE(bus.waitIdle(10000));
        EXPECT_EQ(calls.load(), atReturn) << "round " << round;
    }

    CallbackSink* self = nullptr;
    CallbackSink selfWithdrawing([&](auto) { bus.unsubscribe(self, ""); });
    self = &selfWithdrawing;
    ASSERT_EQ(bus.subscribe(self, "event://SelfWithdraw"), 0);
    post("event://SelfWithdraw", "a");
    ASSERT_TRUE(bus.waitIdle(5000)) << "unsubscribe from inside the delivery deadlocked";
}

// Sinks that throw beside the collector must neither lose nor repeat its deliveries.
TEST_F(MessageBusTest, ConcurrentPostsAreEachDeliveredOnceWhateverOtherSinksThrow)
{
    MessageCollector collector;
    CallbackSink thrower([](auto) { throw std::runtime_error("sink failure"); });
    CallbackSink oddThrower([](auto) { throw 42; });
    for (IMessageSink* sink : std::initializer_list<IMessageSink*>{&thrower, &oddThrower, &collector})
        ASSERT_EQ(bus.subscribe(sink, "event://Many/*"), 0);
    inParallel(4, [&](int p) {
        for (int i = 0; i < 250; ++i)
            bus.post(message("event://Many/" + std::to_string(p), "m", std::to_string(p * 250 + i)));
    });
    ASSERT_TRUE(bus.waitIdle(10000));
    std::set<std::string> sessions;
    for (const auto& m : collector.messages())
        sessions.insert(m->getSessionId().getValue());
    EXPECT_EQ(collector.messages().size(), 1000u);
    EXPECT_EQ(sessions.size(), 1000u);
}

// A serial sink sees its messages one at a time and in the order they were posted, while the
// bus runs others in parallel; and a poster learns when its message was handled, after what the
// handling posted, so a sink that follows both hears the handling's messages first.
TEST_F(MessageBusTest, SerialSinksKeepOrderAndHandledFollowsWhatTheHandlerPosted)
{
    std::mutex mutex;
    std::vector<std::string> seen;
    std::atomic<int> inside{0}, overlaps{0};
    CallbackSink serial([&](boost::shared_ptr<LocalMessage> m) {
        overlaps += ++inside > 1;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(m->getMessageType());
        }
        --inside;
    });
    bus.setSerial(&serial, true);
    ASSERT_EQ(bus.subscribe(&serial, "client://Serial/*"), 0);
    CallbackSink worker([&](boost::shared_ptr<LocalMessage> m) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        post("client://Serial/report", "report of " + m->getMessageType());
    });
    ASSERT_EQ(bus.subscribe(&worker, "target://Worker"), 0);
    for (int i = 0; i < 3; ++i) {
        const std::string name = "job" + std::to_string(i);
        ASSERT_EQ(bus.post(message("target://Worker", name),
                           [this, name] { post("client://Serial/handled", "handled " + name); }),
                  0);
    }
    std::atomic<bool> nobody{false};
    ASSERT_EQ(bus.post(message("target://None", "x"), [&] { nobody = true; }), 0);
    EXPECT_TRUE(nobody) << "a message that reaches no sink is handled at once";
    for (int i = 0; i < 200; ++i)
        post("client://Serial/n", std::to_string(i));
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size() == 206;
    }));
    bus.unsubscribe(&serial, "");
    bus.unsubscribe(&worker, "");
    bus.setSerial(&serial, false);
    EXPECT_EQ(0, overlaps.load());
    std::vector<std::string> numbers;
    for (const std::string& type : seen) {
        if (type.find(' ') == std::string::npos)
            numbers.push_back(type);
    }
    for (std::size_t i = 0; i < numbers.size(); ++i)
        EXPECT_EQ(std::to_string(i), numbers[i]);
    for (int i = 0; i < 3; ++i) {
        const std::string name = "job" + std::to_string(i);
        const auto report = std::find(seen.begin(), seen.end(), "report of " + name);
        const auto handled = std::find(seen.begin(), seen.end(), "handled " + name);
        EXPECT_TRUE(report < handled && handled != seen.end()) << name;
    }
}

} // namespace
