#include "ClientEvent.h"

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
