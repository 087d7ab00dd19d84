#include "CallbackSink.h"

#include "LocalMessage.h"

CallbackSink::CallbackSink(Callback callback) : callback(std::move(callback)) {}

CallbackSink::~CallbackSink()
{
    // Withdraw while callback still exists; the base destructor would do it too late.
    MessageDispatcher::getInstance()->unsubscribe(this, std::string());
}

void CallbackSink::onMessage(boost::shared_ptr<LocalMessage> message)
{
    if (callback)
        callback(std::move(message));
}
