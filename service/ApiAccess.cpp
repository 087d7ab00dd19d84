#include "ApiAccess.h"

#include <algorithm>
#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace {

const std::size_t mostCodes = 16;
const std::size_t mostSessions = 64;

bool sameSecret(const std::string& given, const std::string& secret)
{
    // The length of a secret is no secret; its bytes are compared in constant time.
    return !secret.empty() && given.size() == secret.size() &&
           CRYPTO_memcmp(given.data(), secret.data(), secret.size()) == 0;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return text;
}

} // namespace

std::string randomHex()
{
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return std::string();
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : bytes) {
        text.push_back(hex[byte >> 4]);
        text.push_back(hex[byte & 15]);
    }
    return text;
}

ApiAccess::ApiAccess(std::string token, std::set<std::string> hosts, unsigned short port)
    : token(std::move(token)), hosts(std::move(hosts)), cookieName("haul_session_" + std::to_string(port))
{
}

std::string ApiAccess::hostProblem(std::size_t hostCount, const std::string& host, const std::string& origin) const
{
    if (hostCount != 1)
        return "a request needs exactly one Host header";
    if (!hosts.count(lower(host)))
        return "the Host header must name this interface (see haul serve --listen-host)";
    if (origin.empty())
        return std::string();
    const std::string scheme = origin.compare(0, 7, "http://") == 0 ? "http://" : "https://";
    if (origin.compare(0, scheme.size(), scheme) != 0 || !hosts.count(lower(origin.substr(scheme.size()))))
        return "requests from another origin are refused";
    return std::string();
}

bool ApiAccess::knownSession(const std::string& cookieHeader) const
{
    // "a=1; haul_session_P=VALUE; b=2"
    const std::string prefix = cookieName + "=";
    std::size_t at = 0;
    while (at < cookieHeader.size()) {
        while (at < cookieHeader.size() && (cookieHeader[at] == ' ' || cookieHeader[at] == ';'))
            ++at;
        std::size_t end = cookieHeader.find(';', at);
        if (end == std::string::npos)
            end = cookieHeader.size();
        if (cookieHeader.compare(at, prefix.size(), prefix) == 0) {
            const std::string value = cookieHeader.substr(at + prefix.size(), end - at - prefix.size());
            std::lock_guard<std::mutex> lock(mutex);
            for (const std::string& session : sessions) {
                if (sameSecret(value, session))
                    return true;
            }
        }
        at = end;
    }
    return false;
}

bool ApiAccess::authorized(const std::string& authorization, const std::string& cookie, const std::string& queryToken,
                           bool queryAllowed) const
{
    if (authorization.compare(0, 7, "Bearer ") == 0 && sameSecret(authorization.substr(7), token))
        return true;
    if (queryAllowed && sameSecret(queryToken, token))
        return true;
    return !cookie.empty() && knownSession(cookie);
}

std::string ApiAccess::newCode()
{
    std::string code = randomHex();
    if (code.empty())
        return code;
    std::lock_guard<std::mutex> lock(mutex);
    codes.emplace_back(code, std::chrono::steady_clock::now() + codeLifetime);
    while (codes.size() > mostCodes)
        codes.pop_front();
    return code;
}

std::string ApiAccess::redeem(const std::string& code, const std::string& offeredToken)
{
    bool good = sameSecret(offeredToken, token);
    std::lock_guard<std::mutex> lock(mutex);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = codes.begin(); !good && it != codes.end(); ++it) {
        if (sameSecret(code, it->first) && now < it->second) {
            codes.erase(it);
            good = true;
            break;
        }
    }
    if (!good)
        return std::string();
    std::string session = randomHex();
    if (session.empty())
        return session;
    sessions.push_back(session);
    while (sessions.size() > mostSessions)
        sessions.pop_front();
    return session;
}

std::string ApiAccess::setCookie(const std::string& session) const
{
    return cookieName + "=" + session + "; HttpOnly; SameSite=Strict; Path=/";
}
