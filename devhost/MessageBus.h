#pragma once

#include "MessageDispatcher.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The development host's message bus. One process-wide instance, created on first use and
// never destroyed, so sinks may still unsubscribe from static destructors. Callable from any
// thread; deliveries run on detached worker threads that the bus starts as needed and that
// leave after a few idle seconds.
class MessageBus : public MessageDispatcher
{
public:
    static MessageBus& instance();

    int post(boost::shared_ptr<LocalMessage> message) override;
    // As post; handled then runs once every sink the message went to has returned from it (on
    // the thread of the last delivery; at once on this thread when it went to none). What those
    // sinks posted meanwhile is queued before anything handled posts.
    int post(boost::shared_ptr<LocalMessage> message, std::function<void()> handled);
    // Deliveries to sink run one at a time, in the order their messages were posted.
    void setSerial(IMessageSink* sink, bool serial);
    int subscribe(IMessageSink* sink, const std::string& topic) override;
    // An empty topic also waits for deliveries to sink running on other threads.
    int unsubscribe(IMessageSink* sink, const std::string& topic) override;

    // Refuses further posts and waits until every queued and running delivery is done.
    void shutdown();
    // Accepts posts again after shutdown().
    void restart();
    // True when nothing was queued or running within timeoutMs.
    bool waitIdle(int timeoutMs);
    // A filter returning false makes post refuse the message; an empty filter accepts all.
    void setPostFilter(std::function<bool(const LocalMessage&)> filter);
    // A filter returning false makes subscribe fail for that topic; an empty filter accepts all.
    void setSubscribeFilter(std::function<bool(const std::string&)> filter);
    std::size_t subscriptionCount(IMessageSink* sink);
    // Worker threads alive now (busy or idle).
    std::size_t workerCount();

private:
    struct Subscription
    {
        IMessageSink* sink;
        std::string topic;
    };
    // The deliveries of one message still to return, and what runs when none is left.
    struct Tracker
    {
        std::size_t left = 0;
        std::function<void()> handled;
    };
    struct Delivery
    {
        IMessageSink* sink;
        std::string subscriptionTopic;
        boost::shared_ptr<LocalMessage> message;
        std::shared_ptr<Tracker> tracker;
    };
    struct Running
    {
        IMessageSink* sink;
        std::thread::id thread;
    };
    using PostFilter = std::function<bool(const LocalMessage&)>;

    MessageBus() = default;

    static bool matches(const std::string& pattern, const std::string& topic);
    void workerLoop();
    bool othersRunning(IMessageSink* sink) const;
    // The first queued delivery that may run now: a serial sink's waits while one of its runs.
    std::deque<Delivery>::iterator nextDelivery();
    std::size_t runnableCount() const;
    bool idle() const;

    // Guards every field below.
    std::mutex mutex;
    std::condition_variable workAvailable;
    // Signalled when a delivery ends or a worker leaves.
    std::condition_variable deliveryDone;
    std::vector<Subscription> subscriptions;
    std::vector<IMessageSink*> serialSinks;
    std::deque<Delivery> queue;
    std::vector<Running> running;
    std::shared_ptr<const PostFilter> postFilter;
    std::function<bool(const std::string&)> subscribeFilter;
    std::size_t workers = 0;
    // Workers waiting for work (counted from the moment they are started).
    std::size_t idleWorkers = 0;
    bool accepting = true;
};
