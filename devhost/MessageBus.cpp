#include "MessageBus.h"

#include "IMessageSink.h"
#include "LocalMessage.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace {

// Long enough that a burst of requests reuses threads, short enough not to hoard them.
constexpr std::chrono::seconds kIdleWorkerLifetime(10);

} // namespace

MessageDispatcher* MessageDispatcher::getInstance()
{
    return &MessageBus::instance();
}

MessageBus& MessageBus::instance()
{
    // Leaked on purpose: sinks destroyed during static destruction still unsubscribe.
    static MessageBus* bus = new MessageBus();
    return *bus;
}

bool MessageBus::matches(const std::string& pattern, const std::string& topic)
{
    const std::size_t n = pattern.size();
    if (n >= 2 && pattern.compare(n - 2, 2, "/*") == 0)
        return topic.size() >= n - 1 && topic.compare(0, n - 1, pattern, 0, n - 1) == 0;
    return pattern == topic;
}

int MessageBus::post(boost::shared_ptr<LocalMessage> message)
{
    return post(std::move(message), nullptr);
}

int MessageBus::post(boost::shared_ptr<LocalMessage> message, std::function<void()> handled)
{
    if (!message)
        return 1;
    std::shared_ptr<const PostFilter> filter;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!accepting)
            return 1;
        filter = postFilter;
    }
    // Test code runs outside the bus lock so it may post or subscribe itself.
    if (filter && *filter && !(*filter)(*message))
        return 1;

    std::unique_lock<std::mutex> lock(mutex);
    if (!accepting)
        return 1;
    const std::size_t before = queue.size();
    const auto tracker = handled ? std::make_shared<Tracker>() : nullptr;
    for (const Subscription& s : subscriptions) {
        if (matches(s.topic, message->getTopic()))
            queue.push_back(Delivery{s.sink, s.topic, message, tracker});
    }
    if (tracker) {
        tracker->left = queue.size() - before;
        tracker->handled = std::move(handled);
        if (tracker->left == 0) {
            lock.unlock();
            tracker->handled();
            return 0;
        }
    }
    // Grow whenever work that may run outnumbers waiting workers: a delivery may hold its
    // thread for a whole download while later messages for it must still arrive.
    while (runnableCount() > idleWorkers) {
        try {
            std::thread(&MessageBus::workerLoop, this).detach();
        } catch (const std::system_error&) {
            if (workers == 0) {
                queue.resize(before);
                return 1;
            }
            break; // the existing workers drain the queue later
        }
        ++workers;
        ++idleWorkers;
    }
    // One waiting worker per new delivery: waking them all for each message makes every idle
    // worker take the lock and scan the queue only to sleep again.
    for (std::size_t added = queue.size() - before; added > 0 && added <= idleWorkers; --added)
        workAvailable.notify_one();
    if (queue.size() - before > idleWorkers)
        workAvailable.notify_all();
    return 0;
}

int MessageBus::subscribe(IMessageSink* sink, const std::string& topic)
{
    if (sink == nullptr || topic.empty())
        return 1;
    std::lock_guard<std::mutex> lock(mutex);
    if (subscribeFilter && !subscribeFilter(topic))
        return 1;
    for (const Subscription& s : subscriptions) {
        if (s.sink == sink && s.topic == topic)
            return 0;
    }
    subscriptions.push_back(Subscription{sink, topic});
    return 0;
}

int MessageBus::unsubscribe(IMessageSink* sink, const std::string& topic)
{
    std::unique_lock<std::mutex> lock(mutex);
    const bool all = topic.empty();
    auto gone = [&](IMessageSink* s, const std::string& t) { return s == sink && (all || t == topic); };
    subscriptions.erase(std::remove_if(subscriptions.begin(), subscriptions.end(),
                                       [&](const Subscription& s) { return gone(s.sink, s.topic); }),
                        subscriptions.end());
    // A message whose deliveries are withdrawn counts as handled by this sink.
    std::vector<std::function<void()>> handled;
    const auto withdrawn = std::stable_partition(queue.begin(), queue.end(),
                                                 [&](const Delivery& d) { return !gone(d.sink, d.subscriptionTopic); });
    for (auto it = withdrawn; it != queue.end(); ++it) {
        if (it->tracker && --it->tracker->left == 0)
            handled.push_back(std::move(it->tracker->handled));
    }
    queue.erase(withdrawn, queue.end());
    if (!handled.empty()) {
        lock.unlock();
        for (const auto& done : handled)
            done();
        lock.lock();
    }
    if (all) {
        // The sink is usually about to be destroyed: let deliveries on other threads finish
        // first. One on this thread is the caller itself and cannot be waited for.
        deliveryDone.notify_all();
        deliveryDone.wait(lock, [&] { return !othersRunning(sink); });
    }
    return 0;
}

bool MessageBus::othersRunning(IMessageSink* sink) const
{
    const std::thread::id self = std::this_thread::get_id();
    return std::any_of(running.begin(), running.end(),
                       [&](const Running& r) { return r.sink == sink && r.thread != self; });
}

std::deque<MessageBus::Delivery>::iterator MessageBus::nextDelivery()
{
    return std::find_if(queue.begin(), queue.end(), [this](const Delivery& d) {
        const bool serial = std::find(serialSinks.begin(), serialSinks.end(), d.sink) != serialSinks.end();
        return !serial ||
               std::none_of(running.begin(), running.end(), [&](const Running& r) { return r.sink == d.sink; });
    });
}

std::size_t MessageBus::runnableCount() const
{
    // A serial sink counts once however many of its deliveries wait.
    std::size_t count = 0;
    std::vector<IMessageSink*> seen;
    for (const Delivery& d : queue) {
        if (std::find(serialSinks.begin(), serialSinks.end(), d.sink) == serialSinks.end()) {
            ++count;
        } else if (std::find(seen.begin(), seen.end(), d.sink) == seen.end()) {
            seen.push_back(d.sink);
            ++count;
        }
    }
    return count;
}

void MessageBus::setSerial(IMessageSink* sink, bool serial)
{
    std::lock_guard<std::mutex> lock(mutex);
    serialSinks.erase(std::remove(serialSinks.begin(), serialSinks.end(), sink), serialSinks.end());
    if (serial)
        serialSinks.push_back(sink);
}

bool MessageBus::idle() const
{
    return queue.empty() && running.empty();
}

void MessageBus::workerLoop()
{
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (!workAvailable.wait_for(lock, kIdleWorkerLifetime, [this] { return nextDelivery() != queue.end(); })) {
            --idleWorkers;
            --workers;
            deliveryDone.notify_all();
            return;
        }
        const auto next = nextDelivery();
        Delivery delivery = std::move(*next);
        queue.erase(next);
        --idleWorkers;
        running.push_back(Running{delivery.sink, self});
        lock.unlock();
        try {
            delivery.sink->onMessage(std::move(delivery.message));
        } catch (...) {
            // The host ignores every outcome of a delivery.
        }
        delivery.message.reset();
        lock.lock();
        auto it = std::find_if(running.begin(), running.end(),
                               [&](const Running& r) { return r.sink == delivery.sink && r.thread == self; });
        if (it != running.end())
            running.erase(it);
        ++idleWorkers;
        deliveryDone.notify_all();
        // A serial sink's next delivery may run now: this worker looks first; another is woken
        // only when something else may run too.
        if (nextDelivery() != queue.end())
            workAvailable.notify_one();
        if (delivery.tracker && --delivery.tracker->left == 0) {
            lock.unlock();
            delivery.tracker->handled();
            lock.lock();
        }
    }
}

void MessageBus::shutdown()
{
    std::unique_lock<std::mutex> lock(mutex);
    accepting = false;
    const std::thread::id self = std::this_thread::get_id();
    // A shutdown from inside a delivery cannot wait for that delivery itself.
    deliveryDone.wait(lock, [&] {
        return queue.empty() &&
               std::none_of(running.begin(), running.end(), [&](const Running& r) { return r.thread != self; });
    });
}

void MessageBus::restart()
{
    std::lock_guard<std::mutex> lock(mutex);
    accepting = true;
}

bool MessageBus::waitIdle(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return deliveryDone.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), [this] { return idle(); });
}

void MessageBus::setPostFilter(std::function<bool(const LocalMessage&)> filter)
{
    std::shared_ptr<const PostFilter> shared;
    if (filter)
        shared = std::make_shared<const PostFilter>(std::move(filter));
    std::lock_guard<std::mutex> lock(mutex);
    postFilter = std::move(shared);
}

std::size_t MessageBus::subscriptionCount(IMessageSink* sink)
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<std::size_t>(std::count_if(subscriptions.begin(), subscriptions.end(),
                                                  [&](const Subscription& s) { return s.sink == sink; }));
}

std::size_t MessageBus::workerCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return workers;
}

void MessageBus::setSubscribeFilter(std::function<bool(const std::string&)> filter)
{
    std::lock_guard<std::mutex> lock(mutex);
    subscribeFilter = std::move(filter);
}
