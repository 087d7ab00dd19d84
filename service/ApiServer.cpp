#include "ApiServer.h"

#include "DownloadService.h"
#include "EventHub.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUrlQuery>
#include <boost/asio/basic_socket_acceptor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <map>
#include <mutex>
#include <openssl/crypto.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// The page's files are compiled in; the resources of a static library are registered by hand.
static void registerPageFiles()
{
    Q_INIT_RESOURCE(web);
}

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

struct ApiServer::Listener
{
    explicit Listener(asio::io_context& io) : acceptor(io) {}
    asio::basic_socket_acceptor<Protocol> acceptor;
    bool tcp = false;
    std::thread thread;
};

struct ApiServer::Connection
{
    explicit Connection(Protocol::socket socket) : socket(std::move(socket)) {}
    Protocol::socket socket;
    std::thread thread;
    std::atomic<bool> done{false};
};

namespace {

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// Idle event streams send a comment this often, so a vanished reader is noticed.
const auto keepAliveEvery = std::chrono::seconds(15);

struct Reply
{
    int status = 200;
    QJsonObject body;
};

Reply failure(int status, const std::string& text, int code = 0)
{
    QJsonObject body;
    body.insert("error", QString::fromStdString(text));
    if (code != 0)
        body.insert("code", code);
    return Reply{status, body};
}

std::string field(const Request& request, http::field name)
{
    const auto found = request.find(name);
    return found == request.end() ? std::string() : std::string(found->value());
}

bool sameSecret(const std::string& given, const std::string& secret)
{
    // The length of the token is no secret; its bytes are compared in constant time.
    return !secret.empty() && given.size() == secret.size() &&
           CRYPTO_memcmp(given.data(), secret.data(), secret.size()) == 0;
}

// A string member of a download, or an error when present with another type.
bool stringMember(const QJsonObject& object, const char* name, std::string& out, std::string& error)
{
    const QJsonValue value = object.value(name);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString()) {
        error = std::string("\"") + name + "\" must be a string";
        return false;
    }
    out = value.toString().toStdString();
    return true;
}

Reply startDownloads(DownloadService& service, const std::string& body)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(body), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return failure(400, "malformed JSON: " + parseError.errorString().toStdString());
    if (!document.isObject() || !document.object().value("downloads").isArray())
        return failure(400, "the body must be {\"downloads\":[...]}");
    std::vector<DownloadRequest> requests;
    int index = 0;
    for (const QJsonValue& value : document.object().value("downloads").toArray()) {
        ++index;
        std::string error;
        DownloadRequest request;
        const QJsonObject object = value.toObject();
        if (!value.isObject() || !stringMember(object, "url", request.url, error) ||
            !stringMember(object, "dir", request.dir, error) || !stringMember(object, "sha1", request.sha1, error) ||
            !stringMember(object, "user", request.user, error) ||
            !stringMember(object, "password", request.password, error) || !stringMember(object, "id", request.id, error))
            return failure(400, "download " + std::to_string(index) + ": " +
                                    (error.empty() ? std::string("must be an object") : error));
        requests.push_back(std::move(request));
    }
    std::vector<std::string> ids;
    ServiceError error;
    if (!service.start(std::move(requests), ids, error))
        return failure(error.status, error.text, error.code);
    QJsonArray list;
    for (const std::string& id : ids)
        list.append(QString::fromStdString(id));
    QJsonObject answer;
    answer.insert("ids", list);
    return Reply{201, answer};
}

// The page at "/": its files only, by fixed names. It holds no data and asks for the token
// itself, so it is served without one; its policy lets it load and call nothing but its origin.
bool pageFile(const std::string& path, Response& response)
{
    static const std::map<std::string, std::pair<const char*, const char*>> files = {
        {"/", {"index.html", "text/html; charset=utf-8"}},
        {"/index.html", {"index.html", "text/html; charset=utf-8"}},
        {"/app.css", {"app.css", "text/css; charset=utf-8"}},
        {"/app.js", {"app.js", "text/javascript; charset=utf-8"}}};
    const auto found = files.find(path);
    if (found == files.end())
        return false;
    static std::once_flag registered;
    std::call_once(registered, registerPageFiles);
    QFile file(QString(":/web/") + found->second.first);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    response.result(http::status::ok);
    response.set(http::field::content_type, found->second.second);
    response.set(http::field::cache_control, "no-cache");
    response.set("Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; "
                                            "connect-src 'self'; form-action 'none'; frame-ancestors 'none'; "
                                            "base-uri 'none'");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Referrer-Policy", "no-referrer");
    response.body() = file.readAll().toStdString();
    return true;
}

std::string sseText(const ServiceEvent& event)
{
    std::string text;
    if (!event.name.empty())
        text += "event: " + event.name + "\n";
    return text + "data: " + event.json + "\n\n";
}

// True when the peer has closed its end: an orderly shutdown reads as 0 bytes.
bool peerClosed(int fd)
{
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

} // namespace

ApiServer::ApiServer(DownloadService& service, EventHub& hub) : service(service), hub(hub) {}

ApiServer::~ApiServer()
{
    stop();
}

bool ApiServer::listenUnix(const std::string& path, std::string* error)
{
    auto listener = std::make_unique<Listener>(io);
    boost::system::error_code ec;
    ::unlink(path.c_str());
    const Protocol::endpoint endpoint{asio::local::stream_protocol::endpoint(path)};
    listener->acceptor.open(endpoint.protocol(), ec);
    // Created 0600 from the start: no moment in which another user could connect.
    const mode_t previous = ::umask(0177);
    if (!ec)
        listener->acceptor.bind(endpoint, ec);
    ::umask(previous);
    if (!ec)
        listener->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + path + ": " + ec.message();
        return false;
    }
    Listener& own = *listener;
    listeners.push_back(std::move(listener));
    own.thread = std::thread([this, &own] { acceptLoop(own); });
    return true;
}

bool ApiServer::listenTcp(const std::string& address, unsigned short port, const std::string& secret,
                          std::string* error)
{
    boost::system::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
        *error = "not an IP address: " + address;
        return false;
    }
    auto listener = std::make_unique<Listener>(io);
    listener->tcp = true;
    const asio::ip::tcp::endpoint tcpEndpoint(ip, port);
    const Protocol::endpoint endpoint{tcpEndpoint};
    listener->acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        listener->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        listener->acceptor.bind(endpoint, ec);
    if (!ec)
        listener->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener->acceptor.native_handle(), reinterpret_cast<sockaddr*>(&bound), &length);
    boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                  : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    token = secret;
    const std::string suffix = ":" + std::to_string(boundPort);
    tcpHosts.insert((ip.is_v6() ? "[" + ip.to_string() + "]" : ip.to_string()) + suffix);
    if (ip.is_loopback())
        tcpHosts.insert("localhost" + suffix);
    Listener& own = *listener;
    listeners.push_back(std::move(listener));
    own.thread = std::thread([this, &own] { acceptLoop(own); });
    return true;
}

void ApiServer::acceptLoop(Listener& listener)
{
    while (!stopping) {
        Protocol::socket socket(io);
        boost::system::error_code ec;
        listener.acceptor.accept(socket, ec);
        if (stopping)
            return;
        if (ec) {
            // Out of descriptors, most likely: let connections end before trying again.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        auto connection = std::make_shared<Connection>(std::move(socket));
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = connections.begin(); it != connections.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
        const bool tcp = listener.tcp;
        connection->thread = std::thread([this, connection, tcp] { serve(connection, tcp); });
        connections.push_back(connection);
    }
}

void ApiServer::stop()
{
    if (stopping.exchange(true))
        return;
    for (auto& listener : listeners) {
        // Wakes the blocking accept.
        ::shutdown(listener->acceptor.native_handle(), SHUT_RDWR);
        if (listener->thread.joinable())
            listener->thread.join();
        boost::system::error_code ignored;
        listener->acceptor.close(ignored);
    }
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> lock(mutex);
        all.swap(connections);
    }
    for (auto& connection : all) {
        ::shutdown(connection->socket.native_handle(), SHUT_RDWR);
        connection->thread.join();
    }
}

void ApiServer::serve(const std::shared_ptr<Connection>& connection, bool tcp)
{
    Protocol::socket& socket = connection->socket;
    beast::flat_buffer buffer;
    for (;;) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(maxBody);
        parser.header_limit(64 * 1024);
        boost::system::error_code ec;
        http::read(socket, buffer, parser, ec);
        if (ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
            stopping)
            break;
        struct Busy
        {
            std::atomic<int>& count;
            explicit Busy(std::atomic<int>& count) : count(count) { ++count; }
            ~Busy() { --count; }
        } busyNow(busy);

        Reply reply;
        bool stream = false;
        std::string streamSession;
        const Request& request = parser.get();
        Response page{http::status::ok, request.version()};
        bool isPage = false;
        const std::string target(request.target());
        const std::size_t question = target.find('?');
        const std::string path = target.substr(0, question);
        const QUrlQuery query(question == std::string::npos ? QString()
                                                           : QString::fromStdString(target.substr(question + 1)));
        const std::string origin = field(request, http::field::origin);
        const std::string authorization = field(request, http::field::authorization);
        if (ec == http::error::body_limit) {
            reply = failure(413, "the body is larger than 1 MiB");
        } else if (ec) {
            reply = failure(400, "not an HTTP request: " + ec.message());
        } else if (tcp && !tcpHosts.count(field(request, http::field::host))) {
            reply = failure(403, "the Host header must name the listening address");
        } else if (tcp && !origin.empty() &&
                   !(origin.compare(0, 7, "http://") == 0 && tcpHosts.count(origin.substr(7)))) {
            reply = failure(403, "requests from another origin are refused");
        } else if (request.method() == http::verb::get && pageFile(path, page)) {
            isPage = true;
        } else if (tcp && !sameSecret(authorization.compare(0, 7, "Bearer ") == 0
                                          ? authorization.substr(7)
                                          : query.queryItemValue("token", QUrl::FullyDecoded).toStdString(),
                                      token)) {
            reply = failure(401, "a valid token is required (Authorization: Bearer TOKEN)");
        } else if (refusing) {
            reply = failure(503, "the owner is stopping");
        } else if (path == "/v1/downloads") {
            if (request.method() == http::verb::post)
                reply = startDownloads(service, request.body());
            else if (request.method() == http::verb::get)
                reply = Reply{200, service.list()};
            else
                reply = failure(405, "use GET or POST on /v1/downloads");
        } else if (path == "/v1/events") {
            if (request.method() != http::verb::get)
                reply = failure(405, "use GET on /v1/events");
            else
                stream = true, streamSession = query.queryItemValue("id", QUrl::FullyDecoded).toStdString();
        } else if (path.compare(0, 14, "/v1/downloads/") == 0) {
            const std::string rest = path.substr(14);
            const std::size_t slash = rest.rfind('/');
            const std::string action = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
            const std::string id =
                QUrl::fromPercentEncoding(QByteArray::fromStdString(rest.substr(0, slash))).toStdString();
            if (slash == std::string::npos || id.empty() ||
                (action != "pause" && action != "resume" && action != "abort" && action != "forget")) {
                reply = failure(404, "no such endpoint: " + path);
            } else if (request.method() != http::verb::post) {
                reply = failure(405, "use POST on " + path);
            } else {
                ServiceError error;
                if (service.control(action, id, error)) {
                    reply.status = 202;
                    reply.body.insert("id", QString::fromStdString(id));
                } else {
                    reply = failure(error.status, error.text, error.code);
                }
            }
        } else {
            reply = failure(404, "no such endpoint: " + path);
        }

        if (requestLog)
            requestLog(std::string(request.method_string()) + " " + path + " " +
                       std::to_string(stream ? 200 : reply.status));
        if (stream) {
            // Subscribed before the answer's header goes out: a client that waits for the
            // header and then starts downloads sees every event of them.
            const auto subscription = hub.subscribe(streamSession);
            http::response<http::empty_body> head{http::status::ok, request.version()};
            head.set(http::field::content_type, "text/event-stream");
            head.set(http::field::cache_control, "no-cache");
            head.keep_alive(false);
            http::response_serializer<http::empty_body> serializer(head);
            http::write_header(socket, serializer, ec);
            auto lastWrite = std::chrono::steady_clock::now();
            std::vector<ServiceEvent> events;
            while (!ec) {
                const bool open = subscription->take(events, 1000);
                std::string text;
                for (const ServiceEvent& event : events)
                    text += sseText(event);
                if (text.empty() && std::chrono::steady_clock::now() - lastWrite > keepAliveEvery)
                    text = ": keep-alive\n\n";
                if (!text.empty()) {
                    asio::write(socket, asio::buffer(text), ec);
                    lastWrite = std::chrono::steady_clock::now();
                } else if (open && peerClosed(socket.native_handle())) {
                    break;
                }
                if (!open)
                    break;
            }
            hub.unsubscribe(subscription);
            break;
        }
        Response response{static_cast<http::status>(reply.status), request.version()};
        response.set(http::field::content_type, "application/json");
        response.body() = QJsonDocument(reply.body).toJson(QJsonDocument::Compact).toStdString();
        if (isPage)
            response = std::move(page);
        const bool keepAlive = !ec && request.keep_alive() && reply.status != 413;
        response.keep_alive(keepAlive);
        response.prepare_payload();
        http::write(socket, response, ec);
        if (ec || !keepAlive)
            break;
    }
    boost::system::error_code ignored;
    socket.shutdown(Protocol::socket::shutdown_both, ignored);
    connection->done = true;
}
