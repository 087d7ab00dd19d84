#pragma once

#include "IMessageSink.h"

#include <functional>

// A bus subscriber that hands each message to a function. Owned by whoever subscribes it;
// the function runs on the bus's worker threads and must be thread-safe itself.
class CallbackSink : public IMessageSink
{
public:
    using Callback = std::function<void(boost::shared_ptr<LocalMessage>)>;

    explicit CallbackSink(Callback callback);
    ~CallbackSink() override;

    void onMessage(boost::shared_ptr<LocalMessage> message) override;

private:
    const Callback callback;
};
