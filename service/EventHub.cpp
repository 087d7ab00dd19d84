#include "EventHub.h"

#include <algorithm>
#include <chrono>

bool EventHub::Subscription::take(std::vector<ServiceEvent>& out, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !events.empty() || closed; });
    if (dropped)
        return false;
    out.assign(events.begin(), events.end());
    events.clear();
    return !(closed && out.empty());
}

std::shared_ptr<EventHub::Subscription> EventHub::subscribe(const std::string& session)
{
    auto subscription = std::make_shared<Subscription>();
    subscription->session = session;
    std::lock_guard<std::mutex> lock(mutex);
    subscription->closed = closed;
    subscriptions.push_back(subscription);
    return subscription;
}

void EventHub::unsubscribe(const std::shared_ptr<Subscription>& subscription)
{
    std::lock_guard<std::mutex> lock(mutex);
    subscriptions.erase(std::remove(subscriptions.begin(), subscriptions.end(), subscription), subscriptions.end());
}

void EventHub::publish(const ServiceEvent& event)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& subscription : subscriptions) {
        if (!subscription->session.empty() && subscription->session != event.session)
            continue;
        std::lock_guard<std::mutex> own(subscription->mutex);
        if (subscription->closed)
            continue;
        if (subscription->events.size() >= maxQueued) {
            subscription->dropped = subscription->closed = true;
            subscription->events.clear();
        } else {
            subscription->events.push_back(event);
        }
        subscription->ready.notify_one();
    }
}

void EventHub::close()
{
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    for (const auto& subscription : subscriptions) {
        std::lock_guard<std::mutex> own(subscription->mutex);
        subscription->closed = true;
        subscription->ready.notify_one();
    }
}

std::size_t EventHub::subscriberCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return subscriptions.size();
}
