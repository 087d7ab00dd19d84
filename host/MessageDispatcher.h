#pragma once

#include <boost/shared_ptr.hpp>
#include <string>

class IMessageSink;
class LocalMessage;

// The process-wide message bus. The host owns it; callers ask for it at each use.
class MessageDispatcher
{
public:
    static MessageDispatcher* getInstance();

    virtual ~MessageDispatcher() = default;
    // 0 when the bus accepted the message; never retried by callers.
    virtual int post(boost::shared_ptr<LocalMessage> message) = 0;
    // A topic ending in "/*" matches every topic with that prefix.
    virtual int subscribe(IMessageSink* sink, const std::string& topic) = 0;
    // An empty topic withdraws the sink from every topic.
    virtual int unsubscribe(IMessageSink* sink, const std::string& topic) = 0;
};
