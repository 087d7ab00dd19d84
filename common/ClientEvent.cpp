#include "ClientEvent.h"

#include "JsonInput.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace {

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

double number(std::uint64_t value)
{
    // JSON numbers are doubles: exact up to 2^53 bytes, far beyond any file.
    return static_cast<double>(value);
}

std::uint64_t count(const QJsonObject& object, const char* name)
{
    const double value = object.value(name).toDouble();
    return value > 0 ? static_cast<std::uint64_t>(value) : 0;
}

} // namespace

bool ClientEvent::isReport() const
{
    return type == "WasFinished" || type == "WasFailed" || type == "WasAborted" || type == "DownloaderError";
}

QByteArray ClientEvent::toJson() const
{
    QJsonObject object{{"type", qs(type)}};
    if (!session.empty())
        object.insert("session", qs(session));
    if (isProgress()) {
        object.insert("currentBytes", number(currentBytes));
        object.insert("totalBytes", number(totalBytes));
        object.insert("bytesPerSecond", number(bytesPerSecond));
        object.insert("bytes", number(bytes));
        object.insert("size", number(size));
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    }
    if (type == "State") {
        object.insert("state", qs(state));
        object.insert("bytes", number(bytes));
        object.insert("size", number(size));
        if (!path.empty())
            object.insert("path", qs(path));
        if (!url.empty())
            object.insert("url", qs(url));
        if (interrupted)
            object.insert("interrupted", true);
    }
    if (type == "Retrying") {
        object.insert("attempt", attempt);
        object.insert("retries", retries);
        object.insert("delaySeconds", delaySeconds);
        object.insert("reason", qs(reason));
    }
    if (isReport() || code != 0 || !text.empty()) {
        object.insert("code", code);
        object.insert("text", qs(text));
    }
    if (!host.empty())
        object.insert("host", qs(host));
    if (!words.empty())
        object.insert("words", qs(words));
    cause.addTo(object);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

ClientEvent ClientEvent::fromJson(const QByteArray& json)
{
    const QJsonObject object = jsonObjectFrom(json.constData(), static_cast<std::size_t>(json.size()));
    ClientEvent event;
    event.type = object.value("type").toString().toStdString();
    event.session = object.value("session").toString().toStdString();
    event.code = object.value("code").toInt();
    event.text = object.value("text").toString().toStdString();
    event.cause = Cause::from(object);
    event.state = object.value("state").toString().toStdString();
    event.path = object.value("path").toString().toStdString();
    event.url = object.value("url").toString().toStdString();
    event.interrupted = object.value("interrupted").toBool();
    event.currentBytes = count(object, "currentBytes");
    event.totalBytes = count(object, "totalBytes");
    event.bytesPerSecond = count(object, "bytesPerSecond");
    event.bytes = count(object, "bytes");
    event.size = count(object, "size");
    event.attempt = object.value("attempt").toInt();
    event.retries = object.value("retries").toInt();
    event.delaySeconds = object.value("delaySeconds").toInt();
    event.reason = object.value("reason").toString().toStdString();
    event.host = object.value("host").toString().toStdString();
    event.words = object.value("words").toString().toStdString();
    return event;
}
