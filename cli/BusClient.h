#pragma once

#include "ClientEvent.h"

#include <QObject>
#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>

class CallbackSink;
class ISerializable;
class LocalMessage;

// The client side of haul on the bus: posts requests with its own reply topic and turns
// replies and progress reports into ClientEvents on the main thread. Lives on the main
// thread, owned by the command that runs.
class BusClient : public QObject
{
    Q_OBJECT

public:
    static const char* const requestTopic;
    static const char* const progressTopicPrefix;

    explicit BusClient(bool jsonEcho, QObject* parent = nullptr);
    ~BusClient() override;

    const std::string& replyTopic() const { return replies; }
    // True when the bus accepted the request.
    bool send(const std::string& type, const std::string& session,
              boost::shared_ptr<ISerializable> payload = boost::shared_ptr<ISerializable>());

signals:
    void statusReceived(const ClientEvent& event);
    void progressReceived(const ClientEvent& event);

private:
    void receive(boost::shared_ptr<LocalMessage> message);
    void deliver(const ClientEvent& event);

    const bool jsonEcho;
    const std::string replies;
    // Destroyed first in the destructor: unsubscribing waits for deliveries under way.
    std::unique_ptr<CallbackSink> sink;
};
