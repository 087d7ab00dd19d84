#include "BusClient.h"

#include "CallbackSink.h"
#include "LocalMessage.h"
#include "MessageBus.h"
#include "ProgressReportPayload.h"
#include "StatusReportPayload.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <cstdio>

const char* const BusClient::requestTopic = "event://Client/Service/Download";
const char* const BusClient::progressTopicPrefix = "event://Client/Service/DownloadStatus/";

BusClient::BusClient(bool jsonEcho, QObject* parent)
    : QObject(parent), jsonEcho(jsonEcho),
      replies("client://haul/" + std::to_string(QCoreApplication::applicationPid()) + "/replies")
{
    sink.reset(new CallbackSink([this](boost::shared_ptr<LocalMessage> message) { receive(std::move(message)); }));
    MessageBus& bus = MessageBus::instance();
    bus.subscribe(sink.get(), replies);
    bus.subscribe(sink.get(), std::string(progressTopicPrefix) + "*");
}

BusClient::~BusClient()
{
    sink.reset();
}

bool BusClient::send(const std::string& type, const std::string& session, boost::shared_ptr<ISerializable> payload)
{
    CommonMessageProperties properties;
    properties.messageType = type;
    properties.topic = requestTopic;
    properties.replyTopic = replies;
    properties.sessionId = UUId(session);
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties));
    message->setPayload(std::move(payload));
    return MessageBus::instance().post(message) == 0;
}

// Runs on a bus worker thread.
void BusClient::receive(boost::shared_ptr<LocalMessage> message)
{
    if (!message)
        return;
    ClientEvent event;
    event.type = message->getMessageType();
    event.session = message->getSessionId().getValue();
    event.topic = message->getTopic();
    const boost::shared_ptr<ISerializable> payload = message->getPayload();
    if (const auto* progress = dynamic_cast<const ProgressReportPayload*>(payload.get())) {
        event.isProgress = true;
        event.currentBytes = progress->getCurrentBytes();
        event.totalBytes = progress->getTotalBytes();
        event.bytesPerSecond = progress->getBytesPerSecond();
    } else if (const auto* status = dynamic_cast<const StatusReportPayload*>(payload.get())) {
        event.code = status->getCode();
        event.text = status->getMessage();
    } else if (event.type == "Progress") {
        event.isProgress = true;
    }
    // The commands and the terminal belong to the main thread: queue the event there.
    QMetaObject::invokeMethod(
        this, [this, event]() { deliver(event); }, Qt::QueuedConnection);
}

void BusClient::deliver(const ClientEvent& event)
{
    if (jsonEcho) {
        std::fprintf(stdout, "%s\n", event.toJson().constData());
        std::fflush(stdout);
    }
    if (event.isProgress)
        emit progressReceived(event);
    else
        emit statusReceived(event);
}
