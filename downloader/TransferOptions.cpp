#include "TransferOptions.h"

#include "InputPolicy.h"
#include "JsonInput.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QUrl>
#include <cmath>
#include <limits>

namespace {

boost::optional<QNetworkProxy> proxyNamed(const QString& text)
{
    if (text == QLatin1String("none"))
        return QNetworkProxy(QNetworkProxy::NoProxy);
    const QUrl address(text, QUrl::StrictMode);
    const QString scheme = address.scheme();
    const int port = address.port(-1);
    if (!address.isValid() || address.host().isEmpty() || port <= 0 ||
        (!address.path().isEmpty() && address.path() != QLatin1String("/")) || address.hasQuery() ||
        address.hasFragment())
        return boost::none;
    QNetworkProxy proxy;
    if (scheme == QLatin1String("http"))
        proxy.setType(QNetworkProxy::HttpProxy);
    else if (scheme == QLatin1String("socks5"))
        proxy.setType(QNetworkProxy::Socks5Proxy);
    else
        return boost::none;
    proxy.setHostName(address.host());
    proxy.setPort(static_cast<quint16>(port));
    if (!address.userName().isEmpty()) {
        proxy.setUser(address.userName(QUrl::FullyDecoded));
        proxy.setPassword(address.password(QUrl::FullyDecoded));
    }
    return proxy;
}

} // namespace

TransferOptions TransferOptions::from(const std::string& details)
{
    TransferOptions options;
    if (details.empty())
        return options;
    const QJsonObject object = jsonObjectFrom(details.data(), details.size());

    const QJsonValue ignore = object.value("ignoreSslErrors");
    if (ignore.isBool())
        options.ignoreSslErrors = ignore.toBool();

    const QJsonValue timeout = object.value("requestTimeoutMs");
    const double ms = timeout.toDouble(std::nan(""));
    if (timeout.isDouble() && std::trunc(ms) == ms && ms >= std::numeric_limits<std::int32_t>::min() &&
        ms <= std::numeric_limits<std::int32_t>::max())
        options.requestTimeoutMs = static_cast<std::int32_t>(ms);

    const QJsonValue proxy = object.value("proxy");
    if (proxy.isString())
        options.proxy = proxyNamed(proxy.toString());

    const double rate = object.value("maxRate").toDouble(0);
    if (rate >= 1 && rate <= 1e15 && std::trunc(rate) == rate)
        options.maxRate = static_cast<std::int64_t>(rate);
    const double connections = object.value("connections").toDouble(0);
    if (connections >= 1 && connections <= 16 && std::trunc(connections) == connections)
        options.connections = static_cast<int>(connections);
    const std::string name = object.value("fileName").toString().toStdString();
    if (!name.empty() && inputPolicy::fileNameProblem(name).empty())
        options.fileName = name;
    if (object.value("timestamp").isBool())
        options.keepServerTime = object.value("timestamp").toBool();
    const std::string agent = object.value("userAgent").toString().toStdString();
    if (!agent.empty() && inputPolicy::userAgentProblem(agent).empty())
        options.userAgent = QByteArray::fromStdString(agent);
    for (const QJsonValue& pair : object.value("headers").toArray()) {
        const QJsonArray both = pair.toArray();
        std::string name, value;
        if (both.size() == 2 && options.headers.size() < inputPolicy::maxHeaders &&
            inputPolicy::headerProblem(both[0].toString().toStdString() + ": " + both[1].toString().toStdString(),
                                       &name, &value)
                .empty())
            options.headers.emplace_back(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
    return options;
}
