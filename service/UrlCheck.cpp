#include "UrlCheck.h"

#include <QString>
#include <QUrl>
#include <cctype>

namespace {

// The port text of an authority ("user@host:port", "[::1]:port"); empty when none is given.
std::string portOf(const std::string& authority)
{
    std::string host = authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    std::size_t colon = std::string::npos;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close != std::string::npos && close + 1 < host.size() && host[close + 1] == ':')
            colon = close + 1;
    } else {
        colon = host.rfind(':');
    }
    return colon == std::string::npos ? std::string() : host.substr(colon + 1);
}

} // namespace

std::string urlProblem(const std::string& text)
{
    const std::string bad = "bad URL \"" + text + "\": ";
    if (text.empty())
        return "bad URL: empty";
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)))
            return bad + (c == ' ' ? "contains a space (write it as %20)" : "contains white space");
    }
    const std::size_t separator = text.find("://");
    if (separator == std::string::npos || separator == 0)
        return bad + "no scheme (it starts with http://, https:// or ftp://)";
    std::string scheme = text.substr(0, separator);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https" && scheme != "ftp")
        return bad + "unsupported scheme \"" + text.substr(0, separator) + "\" (http, https or ftp)";

    const std::size_t start = separator + 3;
    const std::string authority = text.substr(start, text.find_first_of("/?#", start) - start);
    // An empty port ("h:/") is the default one.
    const std::string port = portOf(authority);
    if (!port.empty()) {
        if (port.find_first_not_of("0123456789") != std::string::npos)
            return bad + "\"" + port + "\" is not a port";
        if (port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
            return bad + "port " + port + " out of range (1 to 65535)";
    }
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (url.isValid() && url.host().isEmpty())
        return bad + "missing host";
    if (!url.isValid()) {
        // Qt appends the whole input; the URL is named already.
        const QString reason = url.errorString().section(QStringLiteral("; source was"), 0, 0);
        return bad + (reason.isEmpty() ? std::string("not a valid URL") : reason.toStdString());
    }
    return std::string();
}
