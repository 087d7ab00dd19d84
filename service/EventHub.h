#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
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
// vanished client never holds up the bus or the others. Callable from any thread.
class EventHub
{
public:
    class Subscription
    {
    public:
        // Waits up to timeoutMs for events; false once the hub is closed and all were taken,
        // or when the client fell too far behind and was dropped.
        bool take(std::vector<ServiceEvent>& out, int timeoutMs);

    private:
        friend class EventHub;
        std::string session; // empty: every download
        // Guards events and closed.
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<ServiceEvent> events;
        bool closed = false;
        bool dropped = false;
    };

    std::shared_ptr<Subscription> subscribe(const std::string& session);
    void unsubscribe(const std::shared_ptr<Subscription>& subscription);
    void publish(const ServiceEvent& event);
    // Subscriptions drain what they hold and then end.
    void close();
    std::size_t subscriberCount();

private:
    // A client this far behind has stopped reading: it is dropped rather than grow without bound.
    static constexpr std::size_t maxQueued = 100000;

    // Guards subscriptions and closed. Taken before a subscription's own mutex.
    std::mutex mutex;
    std::vector<std::shared_ptr<Subscription>> subscriptions;
    bool closed = false;
};
