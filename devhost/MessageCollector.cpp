#include "MessageCollector.h"

#include "LocalMessage.h"

#include <algorithm>
#include <chrono>

MessageCollector::~MessageCollector()
{
    // Withdraw while the members still exist; the base destructor would do it too late.
    MessageDispatcher::getInstance()->unsubscribe(this, std::string());
}

void MessageCollector::onMessage(boost::shared_ptr<LocalMessage> message)
{
    if (!message)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(std::move(message));
    }
    arrived.notify_all();
}

std::vector<boost::shared_ptr<LocalMessage>> MessageCollector::messages() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

bool MessageCollector::waitFor(const Predicate& pred, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), [&] {
        return std::any_of(received.begin(), received.end(),
                           [&](const boost::shared_ptr<LocalMessage>& m) { return pred(*m); });
    });
}

std::size_t MessageCollector::count(const std::string& type) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<std::size_t>(
        std::count_if(received.begin(), received.end(),
                      [&](const boost::shared_ptr<LocalMessage>& m) { return m->getMessageType() == type; }));
}

void MessageCollector::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    received.clear();
}
