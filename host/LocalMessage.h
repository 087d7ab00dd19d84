#pragma once

#include "ISerializable.h"
#include "UUId.h"

#include <boost/shared_ptr.hpp>
#include <string>

// Header record from which outgoing messages are built.
struct CommonMessageProperties
{
    std::string messageType;
    int priority = 0;
    std::string replyTopic;
    std::string topic;
    UUId sessionId;
    // Beyond what every host carries: why a status report says what it says, as its sender
    // chose to write it (this host's plugin: a compact JSON object). Clients that do not know
    // it see the same report; empty when there is nothing to add.
    std::string details;
};

// The host's message envelope. Immutable but for the payload, which a resume
// replaces while other threads may read it, so the payload is swapped atomically.
class LocalMessage
{
public:
    explicit LocalMessage(CommonMessageProperties properties) : props(std::move(properties)) {}

    const std::string& getMessageType() const { return props.messageType; }
    const std::string& getReplyTopic() const { return props.replyTopic; }
    const std::string& getTopic() const { return props.topic; }
    int getPriority() const { return props.priority; }
    const UUId& getSessionId() const { return props.sessionId; }
    const std::string& getDetails() const { return props.details; }

    boost::shared_ptr<ISerializable> getPayload() const { return boost::atomic_load(&payload); }
    void setPayload(boost::shared_ptr<ISerializable> value) { boost::atomic_store(&payload, std::move(value)); }

private:
    CommonMessageProperties props;
    boost::shared_ptr<ISerializable> payload;
};
