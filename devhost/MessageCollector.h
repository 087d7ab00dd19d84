#pragma once

#include "IMessageSink.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A bus subscriber that records every message it receives, for tests and the command-line
// client. Owned by whoever subscribes it; filled on the bus's worker threads, read from any.
class MessageCollector : public IMessageSink
{
public:
    using Predicate = std::function<bool(const LocalMessage&)>;

    MessageCollector() = default;
    ~MessageCollector() override;

    void onMessage(boost::shared_ptr<LocalMessage> message) override;

    std::vector<boost::shared_ptr<LocalMessage>> messages() const;
    // True as soon as some recorded message satisfies pred (checked under the collector's
    // lock, so pred must not call back into the collector); false after timeoutMs.
    bool waitFor(const Predicate& pred, int timeoutMs) const;
    // Messages recorded so far whose type is type.
    std::size_t count(const std::string& type) const;
    void clear();

private:
    // Guards received.
    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<boost::shared_ptr<LocalMessage>> received;
};
