#pragma once

#include "MessageDispatcher.h"

#include <boost/shared_ptr.hpp>

class LocalMessage;

// Base of every bus subscriber. Its constructor and destructor are compiled
// into whoever derives from it (the plugin among them), so they stay inline.
class IMessageSink
{
public:
    IMessageSink() : unsubscribeOnDestroy(true) {}
    virtual ~IMessageSink()
    {
        if (unsubscribeOnDestroy)
            MessageDispatcher::getInstance()->unsubscribe(this, std::string());
    }

    // Called by the bus on one of its threads; outcomes are ignored.
    virtual void onMessage(boost::shared_ptr<LocalMessage> message) = 0;

    IMessageSink(const IMessageSink&) = delete;
    IMessageSink& operator=(const IMessageSink&) = delete;

protected:
    bool unsubscribeOnDestroy;
};
