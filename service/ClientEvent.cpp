#include "ClientEvent.h"

#include "LocalMessage.h"
#include "ProgressReportPayload.h"
#include "SafeText.h"
#include "StatusReportPayload.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

QByteArray ClientEvent::toJson() const
{
    QJsonObject object;
    object.insert("type", QString::fromStdString(type));
    object.insert("session", QString::fromStdString(session));
    object.insert("topic", QString::fromStdString(topic));
    if (isProgress) {
        // JSON numbers are doubles: exact up to 2^53 bytes, far beyond any file.
        object.insert("currentBytes", static_cast<double>(currentBytes));
        object.insert("totalBytes", static_cast<double>(totalBytes));
        object.insert("bytesPerSecond", static_cast<double>(bytesPerSecond));
    } else {
        object.insert("code", code);
        object.insert("text", QString::fromStdString(text));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

ClientEvent ClientEvent::fromMessage(const LocalMessage& message)
{
    ClientEvent event;
    event.type = message.getMessageType();
    event.session = message.getSessionId().getValue();
    event.topic = message.getTopic();
    const boost::shared_ptr<ISerializable> payload = message.getPayload();
    if (const auto* progress = dynamic_cast<const ProgressReportPayload*>(payload.get())) {
        event.isProgress = true;
        event.currentBytes = progress->getCurrentBytes();
        event.totalBytes = progress->getTotalBytes();
        event.bytesPerSecond = progress->getBytesPerSecond();
    } else if (const auto* status = dynamic_cast<const StatusReportPayload*>(payload.get())) {
        event.code = status->getCode();
        // A server's words reach clients on one line, bounded, without credentials.
        event.text = clientText(status->getMessage());
    } else if (event.type == "Progress") {
        event.isProgress = true;
    }
    return event;
}

ClientEvent ClientEvent::fromJson(const QByteArray& json)
{
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    ClientEvent event;
    event.type = object.value("type").toString().toStdString();
    event.session = object.value("session").toString().toStdString();
    event.topic = object.value("topic").toString().toStdString();
    event.isProgress = object.contains("currentBytes");
    event.code = object.value("code").toInt();
    event.text = object.value("text").toString().toStdString();
    event.currentBytes = static_cast<std::uint64_t>(object.value("currentBytes").toDouble());
    event.totalBytes = static_cast<std::uint64_t>(object.value("totalBytes").toDouble());
    event.bytesPerSecond = static_cast<std::uint64_t>(object.value("bytesPerSecond").toDouble());
    return event;
}
