#include "EventHub.h"

#include <algorithm>
#include <chrono>

bool EventHub::Subscription::take(std::vector<ServiceEvent>& out, int timeoutMs)
{
    std::size_t taken = 0;
    bool open = true;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (timeoutMs > 0)
            ready.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !events.empty() || closed; });
        out.assign(std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
        events.clear();
        taken = bytes;
        bytes = 0;
        open = !(closed && out.empty());
    }
    if (taken > 0 && hub) {
        std::lock_guard<std::mutex> lock(hub->mutex);
        hub->queued -= std::min(hub->queued, taken);
    }
    return open;
}

void EventHub::Subscription::setWake(std::function<void()> callback)
{
    std::lock_guard<std::mutex> lock(mutex);
    wake = std::move(callback);
    if (wake && (!events.empty() || closed))
        wake();
}

std::shared_ptr<EventHub::Subscription> EventHub::subscribe(const std::string& session, bool bounded)
{
    auto subscription = std::make_shared<Subscription>();
    subscription->hub = this;
    subscription->session = session;
    subscription->bounded = bounded;
    std::lock_guard<std::mutex> lock(mutex);
    subscription->closed = closed;
    subscriptions.push_back(subscription);
    return subscription;
}

void EventHub::unsubscribe(const std::shared_ptr<Subscription>& subscription)
{
    std::lock_guard<std::mutex> lock(mutex);
    subscriptions.erase(std::remove(subscriptions.begin(), subscriptions.end(), subscription), subscriptions.end());
    std::lock_guard<std::mutex> own(subscription->mutex);
    queued -= std::min(queued, subscription->bytes);
    subscription->bytes = 0;
    subscription->events.clear();
    subscription->closed = true;
    subscription->wake = nullptr;
}

void EventHub::drop(Subscription& subscription)
{
    queued -= std::min(queued, subscription.bytes);
    subscription.bytes = 0;
    subscription.events.clear();
    subscription.events.push_back(ServiceEvent{
        "", "",
        "{\"type\":\"Dropped\",\"text\":\"this event stream fell too far behind and was closed; read the list "
        "again and subscribe anew\"}"});
    subscription.closed = true;
    subscription.ready.notify_all();
    if (subscription.wake)
        subscription.wake();
}

void EventHub::publish(const ServiceEvent& event)
{
    const std::size_t size = event.json.size() + event.name.size() + event.session.size();
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& subscription : subscriptions) {
        if (!subscription->session.empty() && subscription->session != event.session)
            continue;
        std::lock_guard<std::mutex> own(subscription->mutex);
        if (subscription->closed)
            continue;
        if (subscription->bounded && subscription->bytes + size > limits.perSubscriber) {
            drop(*subscription);
            continue;
        }
        // One wake per batch: a reader woken earlier takes everything queued since.
        const bool wasEmpty = subscription->events.empty();
        subscription->events.push_back(event);
        if (subscription->bounded) {
            subscription->bytes += size;
            queued += size;
        }
        subscription->ready.notify_all();
        if (subscription->wake && wasEmpty)
            subscription->wake();
    }
    // Over the whole bound: the subscribers furthest behind go first.
    while (queued > limits.total) {
        Subscription* furthest = nullptr;
        std::size_t most = 0;
        for (const auto& subscription : subscriptions) {
            std::lock_guard<std::mutex> own(subscription->mutex);
            if (subscription->bounded && subscription->bytes > most) {
                furthest = subscription.get();
                most = subscription->bytes;
            }
        }
        if (!furthest)
            break;
        std::lock_guard<std::mutex> own(furthest->mutex);
        drop(*furthest);
    }
}

void EventHub::close()
{
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    for (const auto& subscription : subscriptions) {
        std::lock_guard<std::mutex> own(subscription->mutex);
        subscription->closed = true;
        subscription->ready.notify_all();
        if (subscription->wake)
            subscription->wake();
    }
}

std::size_t EventHub::subscriberCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return subscriptions.size();
}

std::size_t EventHub::queuedBytes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return queued;
}
