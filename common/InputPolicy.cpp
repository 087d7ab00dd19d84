#include "InputPolicy.h"

#include "SafeText.h"

#include <QString>
#include <QUrl>

namespace inputPolicy {
namespace {

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Bytes of text once "%XX" escapes are decoded.
std::size_t decodedSize(const std::string& text)
{
    std::size_t size = 0;
    for (std::size_t i = 0; i < text.size(); ++size)
        i += text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2]) ? 3 : 1;
    return size;
}

// The port text of an authority ("user@host:port", "[::1]:port"); empty when none is given.
std::string portOf(const std::string& authority)
{
    const std::size_t at = authority.rfind('@');
    const std::string host = authority.substr(at == std::string::npos ? 0 : at + 1);
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

std::string quoted(const std::string& text)
{
    return "\"" + clientText(text, 100) + "\"";
}

std::string urlProblem(const std::string& text)
{
    if (text.empty())
        return "bad URL: empty";
    const std::string bad = "bad URL " + quoted(text) + ": ";
    // Escapes make at most three bytes of one: longer text is too long decoded as well.
    if (text.size() > 3 * maxUrlBytes || decodedSize(text) > maxUrlBytes)
        return bad + "longer than " + std::to_string(maxUrlBytes / 1024) + " KiB";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == ' ')
            return bad + "contains a space (write it as %20)";
        if (byte < 0x20 || byte == 0x7f)
            return bad + "contains white space or control characters";
    }
    const std::size_t separator = text.find("://");
    if (separator == std::string::npos || separator == 0)
        return bad + "no scheme (it starts with http://, https:// or ftp://)";
    std::string scheme = text.substr(0, separator);
    for (char& c : scheme)
        c = lower(c);
    if (scheme != "http" && scheme != "https" && scheme != "ftp")
        return bad + "unsupported scheme " + quoted(text.substr(0, separator)) + " (http, https or ftp)";

    const std::size_t start = separator + 3;
    const std::string authority = text.substr(start, text.find_first_of("/?#", start) - start);
    // An empty port ("h:/") is the default one.
    const std::string port = portOf(authority);
    if (!port.empty()) {
        if (port.find_first_not_of("0123456789") != std::string::npos)
            return bad + quoted(port) + " is not a port";
        if (port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
            return bad + "port " + port + " out of range (1 to 65535)";
    }
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (url.isValid() && url.host().isEmpty())
        return bad + "missing host";
    if (!url.isValid()) {
        // Qt appends the whole input; the URL is named already.
        const QString reason = url.errorString().section(QStringLiteral("; source was"), 0, 0);
        return bad + (reason.isEmpty() ? std::string("not a valid URL") : clientText(reason.toStdString(), 200));
    }
    return std::string();
}

std::string idProblem(const std::string& id)
{
    if (id.empty())
        return "id is empty";
    if (id.size() > maxIdLength)
        return "id is longer than " + std::to_string(maxIdLength) + " characters";
    for (const char c : id) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || c == '.' || c == '~' || c == '+' || c == ':' || c == '@';
        if (!safe)
            return "id " + quoted(id) + " may hold only letters, digits and - _ . ~ + : @";
    }
    if (id.front() == '.')
        return "id " + quoted(id) + " may not start with \".\"";
    return std::string();
}

namespace {

bool tokenCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string("!#$%&'*+-.^_`|~").find(c) != std::string::npos;
}

bool printable(const std::string& text)
{
    for (const char c : text)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
            return false;
    return true;
}

std::string lowered(std::string text)
{
    for (char& c : text)
        c = lower(c);
    return text;
}

} // namespace

std::string headerProblem(const std::string& header, std::string* name, std::string* value)
{
    if (header.size() > maxFieldBytes)
        return "a header is longer than " + std::to_string(maxFieldBytes) + " bytes";
    const std::size_t colon = header.find(':');
    const std::string key = header.substr(0, colon);
    bool token = !key.empty() && key.size() <= 100 && colon != std::string::npos;
    for (std::size_t i = 0; token && i < key.size(); ++i)
        token = tokenCharacter(key[i]);
    if (!token)
        return "header " + quoted(header) + " needs \"Name: value\" with a name of letters, digits and !#$%&'*+-.^_`|~";
    static const char* const ours[] = {"host",       "range",          "if-range",          "accept-encoding",
                                       "connection", "content-length", "transfer-encoding", "te",
                                       "upgrade",    "keep-alive",     "proxy-connection",  "trailer"};
    for (const char* own : ours)
        if (lowered(key) == own)
            return "header " + quoted(key) + " is haul's own to set";
    std::string rest = header.substr(colon + 1);
    const std::size_t first = rest.find_first_not_of(" \t");
    rest = first == std::string::npos ? std::string() : rest.substr(first);
    if (!printable(rest))
        return "header " + quoted(key) + " may not hold control characters";
    if (name)
        *name = key;
    if (value)
        *value = rest;
    return std::string();
}

std::string fileNameProblem(const std::string& name)
{
    if (name.empty() || name.size() > 255 || name == "." || name == ".." || name.find('/') != std::string::npos ||
        !printable(name) || name.find('\t') != std::string::npos)
        return "file name " + quoted(name) + " needs 1 to 255 bytes without \"/\" or control characters, not . or ..";
    return std::string();
}

std::string userAgentProblem(const std::string& agent)
{
    if (agent.empty() || agent.size() > 200 || !printable(agent))
        return "user agent " + quoted(agent) + " needs 1 to 200 printable characters";
    return std::string();
}

std::string sha1Problem(std::string& sha1)
{
    bool valid = sha1.size() == 40;
    for (std::size_t i = 0; valid && i < sha1.size(); ++i)
        valid = isHex(sha1[i]);
    if (!valid)
        return "sha1 needs 40 hexadecimal digits, got " + quoted(sha1);
    for (char& c : sha1)
        c = lower(c);
    return std::string();
}

std::string fieldProblem(const std::string& name, const std::string& value)
{
    if (value.size() > maxFieldBytes)
        return name + " is longer than " + std::to_string(maxFieldBytes) + " bytes";
    if (value.find('\0') != std::string::npos)
        return name + " holds a NUL character";
    return std::string();
}

} // namespace inputPolicy
