#pragma once

// Shared by the targets of the outside-input checks: a failure names the broken property and
// the input, escaped, so that the log alone tells what to reproduce.
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace fuzz {

// Texts shown to clients and written to logs; refusals quote at most ~100 bytes of input, so
// anything near this means input leaked through unbounded.
constexpr std::size_t maxReplyBytes = 1024;

inline std::string shown(const std::string& text, std::size_t most = 600)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < most; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\' && byte != '"') {
            out.push_back(text[i]);
        } else {
            out += "\\x";
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 15]);
        }
    }
    if (text.size() > most)
        out += "...(" + std::to_string(text.size()) + " bytes)";
    return out;
}

[[noreturn]] inline void fail(const char* property, const std::string& input, const std::string& got = std::string())
{
    std::fprintf(stderr, "property violated: %s\n  input: \"%s\"\n  got:   \"%s\"\n", property, shown(input).c_str(),
                 shown(got).c_str());
    std::abort();
}

inline bool isOneLine(const std::string& text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return false;
    }
    return true;
}

// A text from our code that may quote outside input.
inline void expectReplyText(const char* property, const std::string& text, const std::string& input)
{
    if (!isOneLine(text) || text.size() >= maxReplyBytes)
        fail(property, input, text);
}

inline std::string lowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

inline bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "%XX" counts as one byte; a "%" without two hex digits after it as itself.
inline std::size_t percentDecodedSize(const std::string& text)
{
    std::size_t escapes = 0;
    for (std::size_t at = text.find('%'); at != std::string::npos && at + 2 < text.size();
         at = text.find('%', at + 1)) {
        if (isHexDigit(text[at + 1]) && isHexDigit(text[at + 2])) {
            ++escapes;
            at += 2;
        }
    }
    return text.size() - 2 * escapes;
}

// Arrays and objects inside one another, the outermost counting 1.
inline int jsonDepth(const QJsonValue& value)
{
    int inner = 0;
    if (value.isArray()) {
        for (const QJsonValue& item : value.toArray())
            inner = std::max(inner, jsonDepth(item));
        return inner + 1;
    }
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            inner = std::max(inner, jsonDepth(it.value()));
        return inner + 1;
    }
    return 0;
}

// Who the TCP interface lets in, written from ApiAccess's documentation rather than its code.
struct AccessModel
{
    std::string token;
    std::set<std::string> hosts;
    std::string cookieName;
    std::vector<std::string> sessions;

    bool hostAccepted(std::size_t count, const std::string& host, const std::string& origin) const
    {
        if (count != 1 || !hosts.count(lowerAscii(host)))
            return false;
        if (origin.empty())
            return true;
        for (const std::string scheme : {"http://", "https://"}) {
            if (origin.size() >= scheme.size() && origin.substr(0, scheme.size()) == scheme &&
                hosts.count(lowerAscii(origin.substr(scheme.size()))))
                return true;
        }
        return false;
    }

    // Cookie header: "name=value" pairs split at ";", blanks before a name skipped.
    bool sessionCookie(const std::string& cookie) const
    {
        std::size_t start = 0;
        while (start <= cookie.size()) {
            std::size_t end = cookie.find(';', start);
            if (end == std::string::npos)
                end = cookie.size();
            std::string pair = cookie.substr(start, end - start);
            const std::size_t name = pair.find_first_not_of(' ');
            pair.erase(0, name == std::string::npos ? pair.size() : name);
            const std::string prefix = cookieName + "=";
            if (pair.size() >= prefix.size() && pair.substr(0, prefix.size()) == prefix) {
                const std::string value = pair.substr(prefix.size());
                for (const std::string& session : sessions)
                    if (!session.empty() && value == session)
                        return true;
            }
            start = end + 1;
        }
        return false;
    }

    bool authorized(const std::string& authorization, const std::string& cookie, const std::string& queryToken,
                    bool queryAllowed) const
    {
        return authorization == "Bearer " + token || (queryAllowed && queryToken == token) || sessionCookie(cookie);
    }
};

} // namespace fuzz
