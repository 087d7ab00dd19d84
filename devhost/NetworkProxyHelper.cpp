#include "NetworkProxyHelper.h"

#include "ConfigurationManager.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <charconv>
#include <climits>
#include <cstdlib>

namespace {

constexpr int kSocks5 = 1;
constexpr int kNoProxy = 2;
constexpr int kHttp = 3;

// A whole number within [least, most] spelled as nothing else; fallback for anything else.
int numberOr(const std::string& text, int least, int most, int fallback)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= least && value <= most ? value
                                                                                                       : fallback;
}

bool configValue(ConfigurationManager* config, const char* key, std::string& value)
{
    value.clear();
    return config->getValue(key, value, 0) == 0;
}

QString environment(const QString& lowerName)
{
    for (const QString& name : {lowerName, lowerName.toUpper()}) {
        const char* value = std::getenv(name.toLocal8Bit().constData());
        if (value != nullptr && *value != '\0')
            return QString::fromLocal8Bit(value);
    }
    return QString();
}

// no_proxy holds host suffixes separated by commas; "*" exempts every host.
bool exempt(const QString& host)
{
    const QStringList entries = environment(QStringLiteral("no_proxy")).split(QLatin1Char(','));
    for (QString entry : entries) {
        entry = entry.trimmed().toLower();
        if (entry == QLatin1String("*"))
            return true;
        while (entry.startsWith(QLatin1Char('*')) || entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        if (entry.isEmpty() || host.isEmpty())
            continue;
        if (host == entry || host.endsWith(QLatin1Char('.') + entry))
            return true;
    }
    return false;
}

NetworkProxy fromUrl(const QString& text)
{
    const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text);
    NetworkProxy proxy;
    if (!url.isValid() || url.host().isEmpty())
        return proxy;
    const QString scheme = url.scheme().toLower();
    const bool socks = scheme.startsWith(QLatin1String("socks"));
    proxy.type = socks ? kSocks5 : kHttp;
    proxy.host = url.host().toStdString();
    proxy.port = static_cast<std::uint16_t>(url.port(socks ? 1080 : (scheme == QLatin1String("https") ? 443 : 80)));
    proxy.userName = url.userName(QUrl::FullyDecoded).toStdString();
    proxy.password = url.password(QUrl::FullyDecoded).toStdString();
    return proxy;
}

} // namespace

NetworkProxy NetworkProxyHelper::getProxy(const std::string& url)
{
    ConfigurationManager* config = ConfigurationManager::getDefaultInstance();
    std::string host;
    if (configValue(config, "Proxy/Host", host) && !host.empty()) {
        NetworkProxy proxy;
        std::string text;
        proxy.host = host;
        proxy.type = configValue(config, "Proxy/Type", text) ? numberOr(text, INT_MIN, INT_MAX, kHttp) : kHttp;
        const std::uint16_t defaultPort = proxy.type == kSocks5 ? 1080 : 8080;
        proxy.port = configValue(config, "Proxy/Port", text) ? std::uint16_t(numberOr(text, 0, 65535, defaultPort))
                                                             : defaultPort;
        if (configValue(config, "Proxy/User", text))
            proxy.userName = text;
        if (configValue(config, "Proxy/Password", text))
            proxy.password = text;
        return proxy;
    }

    // The environment's proxies apply to the hosts no_proxy does not exempt.
    const QUrl target(QString::fromStdString(url));
    const QString scheme = target.scheme().toLower();
    if (scheme.isEmpty() || exempt(target.host().toLower()))
        return NetworkProxy();
    QString text = environment(scheme + QStringLiteral("_proxy"));
    if (text.isEmpty())
        text = environment(QStringLiteral("all_proxy"));
    if (text.isEmpty())
        return NetworkProxy();
    return fromUrl(text);
}
