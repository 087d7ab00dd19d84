// Who may use the TCP interface. The input fills the Host, Origin, Authorization and Cookie
// headers, ?token= and a session offer; "$T", "$S" and "$C" in them stand for the token, a
// session and a page code, so that accepted requests are reached too, and "$t", "$s" and "$c"
// for the same without their last digit, so that near misses are tried. hostProblem, authorized
// and redeem must agree with FuzzSupport.h's model; above all nothing is let in without the
// exact token, a live session or an unused code.
#include "ApiAccess.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

namespace {

using fuzz::fail;

const std::string token = "3f1c5e0b9a7d24c68e1f0a3b5d7c9e2f4a6b8c0d1e3f5a7b9c2d4e6f8a0b1c3d";
const unsigned short port = 8080;

std::string clipped(const std::string& secret)
{
    return secret.empty() ? secret : secret.substr(0, secret.size() - 1);
}

std::string substituted(std::string text, const std::string& session, const std::string& code)
{
    const std::pair<const char*, std::string> marks[] = {{"$T", token},   {"$t", clipped(token)},
                                                         {"$S", session}, {"$s", clipped(session)},
                                                         {"$C", code},    {"$c", clipped(code)}};
    for (const auto& [mark, secret] : marks) {
        if (secret.empty())
            continue;
        for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + secret.size()))
            text.replace(at, 2, secret);
    }
    return text;
}

bool isLowerHex64(const std::string& text)
{
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::set<std::string> hosts = {"127.0.0.1:8080", "localhost:8080", "[::1]:8080"};
    ApiAccess access(token, hosts, port);
    fuzz::AccessModel model{token, hosts, "haul_session_" + std::to_string(port), {}};
    FuzzedDataProvider provider(data, size);

    std::string session, code;
    if (provider.ConsumeBool()) {
        session = access.redeem(std::string(), token);
        if (!isLowerHex64(session))
            fail("redeem of the token gave no session", token, session);
        model.sessions.push_back(session);
    }
    if (provider.ConsumeBool()) {
        code = access.newCode();
        if (!isLowerHex64(code))
            fail("newCode gave no code", std::string(), code);
    }
    const std::size_t hostCount = provider.ConsumeIntegralInRange(0, 2);
    const bool queryAllowed = provider.ConsumeBool();
    std::string fields[7];
    for (std::string& field : fields)
        field = substituted(provider.ConsumeRandomLengthString(256), session, code);
    const std::string &host = fields[0], &origin = fields[1], &authorization = fields[2], &cookie = fields[3],
                      &queryToken = fields[4], &offeredCode = fields[5], &offeredToken = fields[6];
    const std::string input = "Host: " + host + "\nOrigin: " + origin + "\nAuthorization: " + authorization +
                              "\nCookie: " + cookie + "\n?token=" + queryToken + "\ncode " + offeredCode + " token " +
                              offeredToken;

    const std::string problem = access.hostProblem(hostCount, host, origin);
    fuzz::expectReplyText("hostProblem: reason", problem, input);
    if (problem.empty() != model.hostAccepted(hostCount, host, origin))
        fail(problem.empty() ? "hostProblem accepted a foreign Host or Origin" : "hostProblem refused our own Host",
             input, problem);

    const bool allowed = access.authorized(authorization, cookie, queryToken, queryAllowed);
    if (allowed != model.authorized(authorization, cookie, queryToken, queryAllowed))
        fail(allowed ? "authorized without the token or a session" : "authorized refused the token or a session",
             input);
    // Whatever the model says: no secret in the request, no entry.
    const bool holdsSecret = authorization.find(token) != std::string::npos ||
                             queryToken.find(token) != std::string::npos ||
                             (!session.empty() && cookie.find(session) != std::string::npos);
    if (allowed && !holdsSecret)
        fail("authorized a request that holds no secret", input);

    const bool codeGood = !code.empty() && offeredCode == code;
    const std::string fresh = access.redeem(offeredCode, offeredToken);
    if (fresh.empty() == (offeredToken == token || codeGood))
        fail(fresh.empty() ? "redeem refused the token or a fresh code" : "redeem gave a session for nothing", input,
             fresh);
    if (!fresh.empty()) {
        if (!isLowerHex64(fresh) || fresh == token || fresh == session || fresh == code)
            fail("redeem gave a session that is no new random value", input, fresh);
        const std::string cookieName = model.cookieName;
        if (!access.authorized(std::string(), cookieName + "=" + fresh, std::string(), false))
            fail("a redeemed session is not let in", input, fresh);
        const std::string set = access.setCookie(fresh);
        if (!fuzz::isOneLine(set) || set.compare(0, cookieName.size() + 66, cookieName + "=" + fresh + ";") != 0)
            fail("setCookie does not name the session", input, set);
    }
    // A code works once.
    if (codeGood && offeredToken != token && !access.redeem(offeredCode, std::string()).empty())
        fail("a page code was redeemed twice", input);
    return 0;
}
