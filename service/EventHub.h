#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One event for the clients: an SSE event name (empty for the default "message") and its
// JSON text, about one download.
struct ServiceEvent
{
    std::string name;
    std::string session;
    std::string json;
};

// Fans events out to every subscribed client, each with a queue of its own, so a slow or
// vanished client never holds up the bus or the others. What waits unread is bounded per
// subscriber and in all: a subscriber past either bound is dropped, its queue replaced by one
// last event of type "Dropped", after which it can read the list again and subscribe anew.
// Callable from any thread.
class EventHub
{
public:
    struct Limits
    {
        std::size_t perSubscriber = 1 << 20; // bytes of JSON waiting for one subscriber
        std::size_t total = 16 << 20;        // bytes waiting for all bounded subscribers
    };

    class Subscription
    {
    public:
        // Waits up to timeoutMs for events; false once the hub is closed (or this subscriber
        // was dropped) and everything was taken.
        bool take(std::vector<ServiceEvent>& out, int timeoutMs);
        // Called when events arrive or the subscription closes, with this subscription's lock
        // held: it may only hand the work over (post it), never call back into the hub.
        void setWake(std::function<void()> wake);

    private:
        friend class EventHub;
        EventHub* hub = nullptr;
        std::string session; // empty: every download
        bool bounded = true;
        // Guards everything below.
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<ServiceEvent> events;
        std::size_t bytes = 0; // of the JSON in events, counted for bounded subscribers
        bool closed = false;
        std::function<void()> wake;
    };

    EventHub() = default;
    explicit EventHub(Limits limits) : limits(limits) {}

    // bounded false: a subscriber of the owner's own that always keeps up (the cluster's).
    std::shared_ptr<Subscription> subscribe(const std::string& session, bool bounded = true);
    void unsubscribe(const std::shared_ptr<Subscription>& subscription);
    void publish(const ServiceEvent& event);
    // Subscriptions drain what they hold and then end.
    void close();
    std::size_t subscriberCount();
    // Bytes waiting for bounded subscribers now.
    std::size_t queuedBytes();

private:
    // Both locks are held by the caller.
    void drop(Subscription& subscription);

    const Limits limits{};
    // Guards subscriptions, closed and queued. Taken before a subscription's own mutex.
    std::mutex mutex;
    std::vector<std::shared_ptr<Subscription>> subscriptions;
    bool closed = false;
    std::size_t queued = 0;
};
