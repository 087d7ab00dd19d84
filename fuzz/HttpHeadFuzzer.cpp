// A request on the TCP interface, read as ApiServer's connection reads it: Beast's parser with a
// 16 KiB head and a 1 MiB body, the head first, then the body. Read in the pieces a socket may
// deliver, it gives the same request as read at once; what it lets through stays within both
// limits; and a parsed request goes through the same route and access checks as dispatch(),
// which must agree with RouteCheck.h and FuzzSupport.h's access model. "$T" and "$S" in the
// input stand for the token and a live session, so that requests get in too.
#include "ApiAccess.h"
#include "ApiRoute.h"
#include "FuzzSupport.h"
#include "InputPolicy.h"
#include "JsonInput.h"
#include "RouteCheck.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <memory>
#include <string>

namespace {

namespace http = boost::beast::http;
using fuzz::fail;
using Parser = http::request_parser<http::string_body>;

const std::string token = "3f1c5e0b9a7d24c68e1f0a3b5d7c9e2f4a6b8c0d1e3f5a7b9c2d4e6f8a0b1c3d";
const unsigned short port = 8080;
const std::size_t headLimit = 16 * 1024;

struct Reading
{
    std::unique_ptr<Parser> parser = std::make_unique<Parser>();
    boost::system::error_code ec;
    std::size_t headBytes = 0; // 0 until the head is complete
};

// As async_read_header then async_read do it on a buffer that grows by piece bytes per read;
// the end of the input is the peer closing.
Reading read(const std::string& input, std::size_t piece)
{
    Reading reading;
    Parser& parser = *reading.parser;
    parser.header_limit(headLimit);
    parser.body_limit(inputPolicy::maxBodyBytes);
    parser.eager(false);
    std::size_t consumed = 0, available = std::min(piece, input.size());
    boost::system::error_code& ec = reading.ec;
    while (!parser.is_done()) {
        const std::size_t used =
            parser.put(boost::asio::const_buffer(input.data() + consumed, available - consumed), ec);
        consumed += used;
        if (parser.is_header_done() && reading.headBytes == 0) {
            // The server counts the whole head, as the parser counts its line and fields apart.
            if (consumed > headLimit) {
                ec = http::error::header_limit;
                break;
            }
            reading.headBytes = consumed;
            parser.eager(true);
        }
        if (ec && ec != http::error::need_more)
            break;
        if (ec || used == 0) {
            if (available == input.size()) {
                // Nothing read yet is no message at all.
                ec = parser.got_some() ? boost::system::error_code()
                                       : boost::system::error_code(http::error::end_of_stream);
                if (!ec)
                    parser.put_eof(ec);
                break;
            }
            available = std::min(input.size(), available + piece);
            ec = {};
        }
    }
    return reading;
}

// Which error ends a broken request may differ (a bad request line is seen before its head is
// complete only when it arrives at once), whether it is broken may not.
std::string describe(const Reading& reading)
{
    if (reading.ec == http::error::header_limit)
        return "refused, head 0";
    std::string text = std::string(reading.ec ? "refused" : "read") + ", head " + std::to_string(reading.headBytes);
    if (reading.parser->is_header_done()) {
        const auto& request = reading.parser->get();
        text += " " + std::string(request.method_string()) + " " + std::string(request.target());
        for (const auto& field : request)
            text += "\n" + std::string(field.name_string()) + ": " + std::string(field.value());
    }
    if (reading.parser->is_done())
        text += "\n\n" + reading.parser->get().body();
    return text;
}

std::string field(const http::request<http::string_body>& request, http::field name)
{
    const auto found = request.find(name);
    return found == request.end() ? std::string() : std::string(found->value());
}

void checkDispatch(const http::request<http::string_body>& request, bool complete, const std::string& input)
{
    const std::set<std::string> hosts = {"127.0.0.1:8080", "localhost:8080"};
    ApiAccess access(token, hosts, port);
    fuzz::AccessModel model{token, hosts, "haul_session_" + std::to_string(port), {}};
    const std::string session = access.redeem(std::string(), token);
    model.sessions.push_back(session);
    // The session can only be named once it exists: its mark is replaced in the parsed fields.
    const auto withSession = [&](std::string text) {
        for (std::size_t at = text.find("$S"); at != std::string::npos; at = text.find("$S", at + session.size()))
            text.replace(at, 2, session);
        return text;
    };

    const std::string method(request.method_string()), target(request.target());
    const ApiRoute route = routeOf(method, target);
    fuzz::checkRoute(method, target, route);

    const std::size_t hostCount = request.count(http::field::host);
    const std::string host = field(request, http::field::host), origin = field(request, http::field::origin);
    const std::string problem = access.hostProblem(hostCount, host, origin);
    fuzz::expectReplyText("hostProblem: reason", problem, input);
    if (problem.empty() != model.hostAccepted(hostCount, host, origin))
        fail("hostProblem disagrees on a parsed request", input, problem);
    if (route.kind == ApiRoute::Kind::Refused || route.kind == ApiRoute::Kind::Page)
        return;

    const std::string authorization = field(request, http::field::authorization);
    const std::string cookie = withSession(field(request, http::field::cookie));
    const bool events = route.kind == ApiRoute::Kind::Events;
    const bool allowed = access.authorized(authorization, cookie, route.token, events);
    if (allowed != model.authorized(authorization, cookie, route.token, events))
        fail(allowed ? "a parsed request got in without the token or a session"
                     : "a parsed request with the token or a session was refused",
             input);
    if (!complete)
        return;
    if (route.kind == ApiRoute::Kind::Start) {
        std::vector<DownloadRequest> requests;
        std::string error;
        if (decodeDownloads(request.body(), requests, error) && requests.size() > inputPolicy::maxBatch)
            fail("a request body gave more than 1000 downloads", input);
        fuzz::expectReplyText("decodeDownloads: reason", error, input);
    } else if (route.kind == ApiRoute::Kind::Session) {
        // As sessionOffer reads it; this access has issued no code, so only the token counts.
        const QJsonObject offer = jsonObjectFrom(request.body().data(), request.body().size());
        const std::string offeredToken = offer.value("token").toString().toStdString();
        const std::string granted = access.redeem(offer.value("code").toString().toStdString(), offeredToken);
        if (granted.empty() == (offeredToken == token))
            fail(granted.empty() ? "the token in a session offer was refused"
                                 : "a session offer without the token got a session",
                 input, granted);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte: how many bytes each read delivers (0: the whole input at once).
    const std::size_t piece = data[0] == 0 ? size : data[0];
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (std::size_t at = input.find("$T"); at != std::string::npos; at = input.find("$T", at + token.size()))
        input.replace(at, 2, token);

    const Reading whole = read(input, input.size() + 1);
    const Reading pieces = read(input, piece);
    for (const Reading* reading : {&whole, &pieces})
        if (reading->headBytes > headLimit)
            fail("a head longer than 16 KiB was read", input,
                 std::to_string(reading->headBytes) + " bytes, " +
                     (reading == &whole ? std::string("at once") : "in pieces of " + std::to_string(piece)));
    if (describe(whole) != describe(pieces))
        fail("the request depends on how it was split into reads", input,
             whole.ec.message() + ": " + describe(whole) + "\n--- in pieces of " + std::to_string(piece) + ", " +
                 pieces.ec.message() + ": " + describe(pieces));

    const Parser& parser = *whole.parser;
    if (parser.is_done() && parser.get().body().size() > inputPolicy::maxBodyBytes)
        fail("a body larger than 1 MiB was read", input);
    if (!parser.is_header_done() || whole.ec == http::error::header_limit)
        return 0;
    const auto length = parser.content_length();
    if (length && *length > inputPolicy::maxBodyBytes && whole.ec != http::error::body_limit)
        fail("a declared body over 1 MiB was not refused", input, whole.ec.message());
    checkDispatch(parser.get(), parser.is_done() && !whole.ec, input);
    return 0;
}
