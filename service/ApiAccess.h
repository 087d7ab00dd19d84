#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Who may use the TCP interface: requests must name one of its own Host values (and Origin,
// when sent), and carry the token (Authorization: Bearer), a session cookie, or, on the event
// stream alone, ?token=. The page's link carries a one-time code instead of the token, traded
// once for a session cookie, so a link in a history or a log is worth nothing. Callable from
// any thread.
class ApiAccess
{
public:
    // hosts: "NAME:PORT" values a Host header may hold (lower case).
    ApiAccess(std::string token, std::set<std::string> hosts, unsigned short port);

    // Why a TCP request's Host or Origin is refused; empty when accepted. hostCount: how many
    // Host headers it has.
    std::string hostProblem(std::size_t hostCount, const std::string& host, const std::string& origin) const;
    // A bearer token, or the session named in the Cookie header, or (queryAllowed) ?token=.
    bool authorized(const std::string& authorization, const std::string& cookie, const std::string& queryToken,
                    bool queryAllowed) const;

    // A new one-time code for the page's link; the oldest is forgotten beyond a few.
    std::string newCode();
    // A session for a valid unused code (used up here) or for the token; empty when neither.
    std::string redeem(const std::string& code, const std::string& token);
    // "NAME=VALUE; HttpOnly; ..." for a new session.
    std::string setCookie(const std::string& session) const;

    // How long a code stays good.
    static constexpr std::chrono::minutes codeLifetime{10};

private:
    bool knownSession(const std::string& cookieHeader) const;

    const std::string token;
    const std::set<std::string> hosts;
    const std::string cookieName;

    // Guards codes and sessions.
    mutable std::mutex mutex;
    std::deque<std::pair<std::string, std::chrono::steady_clock::time_point>> codes; // with their expiry
    std::deque<std::string> sessions;                                                // newest last
};

// 32 random bytes as 64 hexadecimal digits; empty when the system has no randomness to give.
std::string randomHex();
