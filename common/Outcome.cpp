#include "Outcome.h"

#include "JsonInput.h"

#include <QJsonDocument>
#include <utility>

namespace {

const std::pair<NetworkCause, const char*> names[] = {
    {NetworkCause::None, ""},
    {NetworkCause::Refused, "refused"},
    {NetworkCause::Reset, "reset"},
    {NetworkCause::HostNotFound, "host not found"},
    {NetworkCause::TimedOut, "timed out"},
    {NetworkCause::Tls, "tls"},
    {NetworkCause::Proxy, "proxy"},
    {NetworkCause::TooManyRedirects, "too many redirects"},
    {NetworkCause::Other, "other"},
};

} // namespace

const char* nameOf(NetworkCause cause)
{
    for (const auto& item : names) {
        if (item.first == cause)
            return item.second;
    }
    return "";
}

NetworkCause networkCauseNamed(const std::string& name)
{
    for (const auto& item : names) {
        if (name == item.second)
            return item.first;
    }
    return NetworkCause::None;
}

bool Cause::operator==(const Cause& other) const
{
    return network == other.network && httpStatus == other.httpStatus && tlsCause == other.tlsCause &&
           retryAfter == other.retryAfter && bytesKept == other.bytesKept;
}

void Cause::addTo(QJsonObject& object) const
{
    if (network != NetworkCause::None)
        object.insert("network", nameOf(network));
    if (httpStatus != 0)
        object.insert("httpStatus", httpStatus);
    if (!tlsCause.empty())
        object.insert("tlsCause", QString::fromStdString(tlsCause));
    if (retryAfter >= 0)
        object.insert("retryAfter", retryAfter);
    if (bytesKept >= 0)
        object.insert("bytesKept", static_cast<double>(bytesKept));
}

Cause Cause::from(const QJsonObject& object)
{
    Cause cause;
    cause.network = networkCauseNamed(object.value("network").toString().toStdString());
    cause.httpStatus = object.value("httpStatus").toInt(0);
    cause.tlsCause = object.value("tlsCause").toString().toStdString();
    cause.retryAfter = object.value("retryAfter").toInt(-1);
    cause.bytesKept = static_cast<std::int64_t>(object.value("bytesKept").toDouble(-1));
    return cause;
}

std::string Cause::toText() const
{
    QJsonObject object;
    addTo(object);
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

Cause Cause::fromText(const std::string& text)
{
    return from(jsonObjectFrom(text.data(), text.size()));
}
