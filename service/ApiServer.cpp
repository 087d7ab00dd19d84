#include "ApiServer.h"

#include "ApiRoute.h"
#include "ConfigKeys.h"
#include "Configuration.h"
#include "DownloadService.h"
#include "EventHub.h"
#include "InputPolicy.h"
#include "JsonInput.h"
#include "ServiceClient.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <boost/asio/basic_socket_acceptor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <cstring>
#include <optional>
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

namespace {

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

const std::size_t headLimit = 16 * 1024;
const auto gatherFor = std::chrono::milliseconds(5);
// What stop() grants streams and answers under way.
const auto drainTime = std::chrono::seconds(2);

struct Reply
{
    int status = 200;
    QJsonObject body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// A refusal in the shape of every refusal and outcome: type, session, code, text ("error"
// repeats the text for programs that read it so).
Reply failure(int status, const std::string& text, int code = 0, const std::string& session = std::string())
{
    QJsonObject body{{"type", "DownloaderError"},
                     {"code", code},
                     {"text", QString::fromStdString(text)},
                     {"error", QString::fromStdString(text)}};
    if (!session.empty())
        body.insert("session", QString::fromStdString(session));
    return Reply{status, body, {}};
}

std::string field(const Request& request, http::field name)
{
    const auto found = request.find(name);
    return found == request.end() ? std::string() : std::string(found->value());
}

// Every answer: nothing kept by caches, nothing sniffed into another type.
template <class Message> void guard(Message& message)
{
    message.set(http::field::cache_control, "no-store");
    message.set("X-Content-Type-Options", "nosniff");
}

// The page's files by name, read once.
const std::pair<std::string, std::string>* pageFile(const std::string& name)
{
    static const std::map<std::string, std::pair<std::string, std::string>> files = [] {
        registerPageFiles();
        std::map<std::string, std::pair<std::string, std::string>> loaded;
        for (const auto& [file, type] :
             {std::pair{"index.html", "text/html; charset=utf-8"}, std::pair{"app.css", "text/css; charset=utf-8"},
              std::pair{"app.js", "text/javascript; charset=utf-8"}}) {
            QFile resource(QString(":/web/") + file);
            if (resource.open(QIODevice::ReadOnly))
                loaded[file] = {type, resource.readAll().toStdString()};
        }
        return loaded;
    }();
    const auto found = files.find(name);
    return found == files.end() ? nullptr : &found->second;
}

std::string sseText(const ServiceEvent& event)
{
    std::string text;
    if (!event.name.empty())
        text += "event: " + event.name + "\n";
    return text + "data: " + event.json + "\n\n";
}

// The token or page code offered by POST /v1/session.
void sessionOffer(const std::string& body, std::string& code, std::string& token)
{
    const QJsonObject object = jsonObjectFrom(body.data(), body.size());
    code = object.value("code").toString().toStdString();
    token = object.value("token").toString().toStdString();
}

} // namespace

struct ApiServer::Door
{
    explicit Door(asio::io_context& io) : acceptor(io), retry(io) {}
    asio::basic_socket_acceptor<Protocol> acceptor;
    asio::steady_timer retry; // after an accept failed (out of descriptors)
    bool tcp = false;
    std::atomic<int> open{0};
};

// One client connection, on its own strand: reads requests one at a time, answers them (calls
// into the service on the worker threads), or turns into an event stream.
class ApiServer::Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(ApiServer& server, std::shared_ptr<Door> door, Protocol::socket socket)
        : server(server), door(std::move(door)), socket(std::move(socket)), deadline(this->socket.get_executor()),
          ping(this->socket.get_executor()), batch(this->socket.get_executor())
    {
    }
    ~Connection()
    {
        if (subscription)
            server.hub.unsubscribe(subscription);
        if (counted)
            --server.busy;
        --door->open;
        server.forget(this);
    }

    void start() { readHead(); }
    Protocol::socket::executor_type executor() { return socket.get_executor(); }

    // From stop(): an idle connection closes now, one under way after its answer.
    void wind(bool force)
    {
        closeAfter = true;
        if (force || (!counted && !subscription))
            close();
    }

private:
    void arm(std::chrono::seconds limit)
    {
        const std::uint64_t mine = ++generation;
        deadline.expires_after(limit);
        deadline.async_wait([self = shared_from_this(), mine](const boost::system::error_code& ec) {
            if (!ec && self->generation == mine)
                self->close();
        });
    }

    void disarm()
    {
        ++generation;
        deadline.cancel();
    }

    void close()
    {
        if (closed)
            return;
        closed = true;
        disarm();
        ping.cancel();
        boost::system::error_code ignored;
        socket.shutdown(Protocol::socket::shutdown_both, ignored);
        socket.close(ignored);
    }

    void setCounted(bool now)
    {
        if (now != counted)
            now ? ++server.busy : --server.busy;
        counted = now;
    }

    void readHead()
    {
        parser.emplace();
        parser->header_limit(headLimit);
        parser->body_limit(inputPolicy::maxBodyBytes);
        arm(first ? server.limits.request : server.limits.idle);
        http::async_read_header(socket, buffer, *parser,
                                [self = shared_from_this()](const boost::system::error_code& ec, std::size_t size) {
                                    self->onHead(ec, size);
                                });
    }

    void onHead(const boost::system::error_code& ec, std::size_t size)
    {
        if (ec)
            return readFailed(ec);
        // The parser bounds the request line and the fields each: a head read at once may hold both.
        if (size > headLimit)
            return refuse(failure(431, "the request's head is larger than 16 KiB"));
        first = false;
        setCounted(true);
        const auto length = parser->content_length();
        if (length && *length > inputPolicy::maxBodyBytes)
            return refuse(failure(413, "the body is larger than 1 MiB"));
        arm(server.limits.request);
        if (http::token_list(field(parser->get(), http::field::expect)).exists("100-continue") && length && *length)
            return continueBody();
        readBody();
    }

    void continueBody()
    {
        static const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
        asio::async_write(socket, asio::buffer(interim),
                          [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                              if (ec)
                                  return self->close();
                              self->readBody();
                          });
    }

    void readBody()
    {
        http::async_read(socket, buffer, *parser,
                         [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                             if (ec)
                                 return self->readFailed(ec);
                             self->disarm();
                             self->dispatch();
                         });
    }

    void readFailed(const boost::system::error_code& ec)
    {
        if (ec == http::error::body_limit)
            return refuse(failure(413, "the body is larger than 1 MiB"));
        if (ec == http::error::header_limit)
            return refuse(failure(431, "the request's head is larger than 16 KiB"));
        // A peer gone, silent past its deadline (closed by the timer), or the server stopping.
        if (closed || ec == http::error::end_of_stream || ec == asio::error::eof ||
            ec == asio::error::connection_reset || ec == asio::error::operation_aborted ||
            ec == http::error::partial_message)
            return close();
        refuse(failure(400, "not an HTTP request: " + ec.message()));
    }

    void dispatch()
    {
        const Request& request = parser->get();
        route = routeOf(std::string(request.method_string()), std::string(request.target()));
        if (door->tcp) {
            const std::size_t hosts = request.count(http::field::host);
            const std::string problem = server.access->hostProblem(hosts, field(request, http::field::host),
                                                                   field(request, http::field::origin));
            if (!problem.empty())
                return answer(failure(hosts == 1 ? 403 : 400, problem));
        }
        if (route.kind == ApiRoute::Kind::Page)
            return answerPage();
        // A stranger learns nothing of the interface, not even which paths exist.
        const bool open = route.kind == ApiRoute::Kind::Session || route.kind == ApiRoute::Kind::PageLink;
        if (door->tcp && !open &&
            !server.access->authorized(field(request, http::field::authorization), field(request, http::field::cookie),
                                       route.token, route.kind == ApiRoute::Kind::Events))
            return answer(failure(401, "a valid token is required (Authorization: Bearer TOKEN, or the page's "
                                       "session)"));
        if (route.kind == ApiRoute::Kind::Refused)
            return answer(failure(route.status, route.error));
        if (route.kind == ApiRoute::Kind::Events)
            return startStream();
        if (server.refusing)
            return answer(failure(503, "the owner is stopping"));
        // The service may wait on its store: not on a connection's thread.
        asio::post(server.workers, [self = shared_from_this()] {
            Reply reply = self->serve();
            asio::post(self->socket.get_executor(),
                       [self, reply = std::move(reply)]() mutable { self->answer(std::move(reply)); });
        });
    }

    // On a worker thread.
    Reply serve()
    {
        const Request& request = parser->get();
        const ::Door origin = door->tcp ? ::Door::Confined : ::Door::Own;
        ServiceError error;
        switch (route.kind) {
        case ApiRoute::Kind::List:
            return Reply{200, server.service.list(), {}};
        case ApiRoute::Kind::Start: {
            std::vector<DownloadRequest> requests;
            std::vector<std::string> ids;
            if (!decodeDownloads(request.body(), requests, error.text))
                return failure(400, error.text);
            if (!server.service.start(std::move(requests), ids, error, origin))
                return failure(error.status, error.text, error.code, error.session);
            QJsonArray list;
            for (const std::string& id : ids)
                list.append(QString::fromStdString(id));
            return Reply{201, QJsonObject{{"ids", list}}, {}};
        }
        case ApiRoute::Kind::Control: {
            DownloadRequest given;
            if (!decodeControl(route.action, request.body(), given, error.text))
                return failure(400, error.text);
            if (!server.service.control(route.action, route.id, error, given))
                return failure(error.status, error.text, error.code, route.id);
            return Reply{202, QJsonObject{{"id", QString::fromStdString(route.id)}}, {}};
        }
        case ApiRoute::Kind::Limit: {
            DownloadRequest given;
            if (!decodeControl("limit", request.body(), given, error.text))
                return failure(400, error.text);
            server.service.setOverallRate(given.options.maxRate);
            return Reply{200, QJsonObject{{"maxRate", static_cast<double>(given.options.maxRate)}}, {}};
        }
        case ApiRoute::Kind::Session: {
            if (!door->tcp)
                return failure(404, "sessions are for the TCP interface; this socket needs none");
            std::string code, token;
            sessionOffer(request.body(), code, token);
            const std::string session = server.access->redeem(code, token);
            if (session.empty())
                return failure(401, "this link or token is not valid (a link works once, for ten minutes); "
                                    "haul page prints a new link");
            return Reply{204, QJsonObject(), {{"Set-Cookie", server.access->setCookie(session)}}};
        }
        case ApiRoute::Kind::Settings: {
            // What a command compares its own settings with; a password is only said to be set.
            QJsonObject settings;
            for (const ConfigKey& key : configKeys()) {
                std::string value;
                if (Configuration::instance().getValue(key.name, value, 0) == 0)
                    settings.insert(key.name, key.name == std::string("Proxy/Password")
                                                  ? QString("(set)")
                                                  : QString::fromStdString(value));
            }
            return Reply{200, QJsonObject{{"settings", settings}}, {}};
        }
        case ApiRoute::Kind::PageLink: {
            if (door->tcp)
                return failure(403, "a page link is given on the owner's Unix socket only");
            const std::string link = server.newPageLink();
            if (link.empty())
                return failure(404, "this owner serves no page: start it with haul serve --listen ADDRESS:PORT");
            return Reply{200, QJsonObject{{"url", QString::fromStdString(link)}}, {}};
        }
        default:
            return failure(500, "unexpected request");
        }
    }

    void log(int status)
    {
        if (server.requestLog)
            server.requestLog(std::string(parser->get().method_string()) + " " + route.path + " " +
                              std::to_string(status));
    }

    void answerPage()
    {
        const auto* file = pageFile(route.page);
        if (!file)
            return answer(failure(404, "no such endpoint: " + route.path));
        auto response = std::make_shared<Response>(http::status::ok, parser->get().version());
        response->set(http::field::content_type, file->first);
        response->set("Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; "
                                                 "connect-src 'self'; form-action 'none'; frame-ancestors 'none'; "
                                                 "base-uri 'none'");
        response->set("Referrer-Policy", "no-referrer");
        response->body() = file->second;
        send(response, 200);
    }

    // A refusal after which the rest of the request is not read: the connection closes.
    void refuse(Reply reply)
    {
        closeAfter = true;
        if (!parser)
            parser.emplace();
        answer(std::move(reply));
    }

    void answer(Reply reply)
    {
        if (closed)
            return;
        auto response = std::make_shared<Response>(static_cast<http::status>(reply.status), 11);
        for (const auto& header : reply.headers)
            response->set(header.first, header.second);
        if (reply.status != 204) {
            response->set(http::field::content_type, "application/json");
            response->body() = QJsonDocument(reply.body).toJson(QJsonDocument::Compact).toStdString();
        }
        send(response, reply.status);
    }

    void send(const std::shared_ptr<Response>& response, int status)
    {
        log(status);
        guard(*response);
        const bool keepAlive = !closeAfter && parser->is_done() && parser->get().keep_alive() && status < 500 &&
                               status != 413 && status != 431;
        response->keep_alive(keepAlive);
        response->prepare_payload();
        arm(server.limits.write);
        http::async_write(
            socket, *response,
            [self = shared_from_this(), response, keepAlive](const boost::system::error_code& ec, std::size_t) {
                self->setCounted(false);
                if (ec || !keepAlive || self->closeAfter)
                    return self->close();
                self->readHead();
            });
    }

    void startStream()
    {
        log(200);
        // The kernel would hold megabytes for a reader that stopped: the hub's bound decides.
        const int sendBuffer = 64 * 1024;
        ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        subscription = server.hub.subscribe(route.id);
        outgoing = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                   "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
        writeStream();
        std::weak_ptr<Connection> weak = shared_from_this();
        subscription->setWake([weak] {
            if (const auto self = weak.lock())
                asio::post(self->socket.get_executor(), [self] { self->gather(); });
        });
        // A reader sends nothing more: any byte or the end of its side closes the stream.
        socket.async_read_some(
            asio::buffer(probe, sizeof probe),
            [self = shared_from_this()](const boost::system::error_code&, std::size_t) { self->close(); });
        keepAlive();
    }

    void keepAlive()
    {
        // Idle streams send a comment: a vanished reader is noticed, and a reader knows the owner lives.
        ping.expires_after(ServiceClient::pingEvery);
        ping.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (ec || self->closed)
                return;
            if (!self->writing) {
                self->outgoing = ": keep-alive\n\n";
                self->writeStream();
            }
            self->keepAlive();
        });
    }

    // Events of a busy owner come by the thousand a second: what comes within a few
    // milliseconds of the last write goes out in one write, one wake-up of this thread and of
    // the reader. An event after a quiet while goes at once.
    void gather()
    {
        if (gathering || closed)
            return;
        const auto due = lastPump + gatherFor;
        if (std::chrono::steady_clock::now() >= due)
            return pump();
        gathering = true;
        batch.expires_at(due);
        batch.async_wait([self = shared_from_this()](const boost::system::error_code&) {
            self->gathering = false;
            self->pump();
        });
    }

    void pump()
    {
        if (closed || writing)
            return;
        lastPump = std::chrono::steady_clock::now();
        std::vector<ServiceEvent> events;
        const bool open = subscription->take(events, 0);
        outgoing.clear();
        for (const ServiceEvent& event : events)
            outgoing += sseText(event);
        if (!outgoing.empty())
            writeStream();
        else if (!open)
            close();
    }

    void writeStream()
    {
        writing = true;
        arm(server.limits.write);
        asio::async_write(socket, asio::buffer(outgoing),
                          [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                              self->writing = false;
                              if (ec)
                                  return self->close();
                              self->disarm();
                              self->pump();
                          });
    }

    ApiServer& server;
    const std::shared_ptr<Door> door;
    Protocol::socket socket;
    asio::steady_timer deadline;
    asio::steady_timer ping;
    asio::steady_timer batch;
    bool gathering = false;
    std::chrono::steady_clock::time_point lastPump; // of the last take from the subscription
    std::uint64_t generation = 0;                   // of the deadline: a timer that fires for an older one does nothing
    beast::flat_buffer buffer{headLimit};
    std::optional<http::request_parser<http::string_body>> parser;
    ApiRoute route;
    bool first = true;
    bool counted = false; // in server.busy
    bool closed = false;
    bool closeAfter = false;
    std::shared_ptr<EventHub::Subscription> subscription;
    std::string outgoing;
    bool writing = false;
    char probe[1];
};

ApiServer::ApiServer(DownloadService& service, EventHub& hub, Limits limits)
    : service(service), hub(hub), limits(limits)
{
}

ApiServer::~ApiServer()
{
    stop();
}

bool ApiServer::listen(const std::shared_ptr<Door>& door, const Protocol::endpoint& endpoint, std::string* error)
{
    boost::system::error_code ec;
    door->acceptor.open(endpoint.protocol(), ec);
    if (!ec && door->tcp)
        door->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        door->acceptor.bind(endpoint, ec);
    if (!ec)
        door->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = ec.message();
        return false;
    }
    serve(door);
    return true;
}

void ApiServer::serve(const std::shared_ptr<Door>& door)
{
    doors.push_back(door);
    accept(door);
    // Two threads for every connection of every door.
    while (threads.size() < 2)
        threads.emplace_back([this] {
            auto work = asio::make_work_guard(io);
            io.run();
        });
}

bool ApiServer::adoptUnix(int fd, std::string* error)
{
    auto door = std::make_shared<Door>(io);
    boost::system::error_code ec;
    door->acceptor.assign(Protocol(AF_UNIX, SOCK_STREAM), fd, ec);
    if (ec) {
        *error = "cannot take the socket systemd passed: " + ec.message();
        return false;
    }
    serve(door);
    return true;
}

bool ApiServer::listenUnix(const std::string& path, std::string* error)
{
    ::unlink(path.c_str());
    std::string reason;
    // The data directory is the user's alone; the socket is too, in case it lies elsewhere.
    if (listen(std::make_shared<Door>(io), Protocol::endpoint{asio::local::stream_protocol::endpoint(path)}, &reason) &&
        ::chmod(path.c_str(), 0600) == 0)
        return true;
    *error = "cannot listen on " + path + ": " + (reason.empty() ? std::strerror(errno) : reason);
    return false;
}

bool ApiServer::listenTcp(const std::string& address, unsigned short port, const std::string& token,
                          const std::vector<std::string>& hostNames, std::string* error)
{
    boost::system::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
        *error = "not an IP address: " + address;
        return false;
    }
    auto door = std::make_shared<Door>(io);
    door->tcp = true;
    std::string reason;
    if (!listen(door, Protocol::endpoint{asio::ip::tcp::endpoint(ip, port)}, &reason)) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + reason;
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(door->acceptor.native_handle(), reinterpret_cast<sockaddr*>(&bound), &length);
    boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                  : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    const std::string shown = ip.is_v6() ? "[" + ip.to_string() + "]" : ip.to_string();
    baseUrl = "http://" + shown + ":" + std::to_string(boundPort) + "/";
    std::set<std::string> hosts;
    const std::string suffix = ":" + std::to_string(boundPort);
    hosts.insert(shown + suffix);
    for (std::string name : hostNames) {
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        hosts.insert(name + suffix);
    }
    // A browser leaves out port 80.
    if (boundPort == 80) {
        for (const std::string& host : std::set<std::string>(hosts))
            hosts.insert(host.substr(0, host.size() - suffix.size()));
    }
    access = std::make_unique<ApiAccess>(token, std::move(hosts), boundPort);
    return true;
}

std::string ApiServer::newPageLink()
{
    if (!access)
        return std::string();
    const std::string code = access->newCode();
    return code.empty() ? code : baseUrl + "#code=" + code;
}

void ApiServer::accept(const std::shared_ptr<Door>& door)
{
    door->acceptor.async_accept(asio::make_strand(io), [this, door](const boost::system::error_code& ec,
                                                                    Protocol::socket socket) {
        if (stopping || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors, most likely: let connections end before trying again.
            door->retry.expires_after(std::chrono::milliseconds(100));
            door->retry.async_wait([this, door](const boost::system::error_code& waited) {
                if (!waited && !stopping)
                    accept(door);
            });
            return;
        }
        if (door->open >= limits.connectionsPerDoor) {
            // Refused at once, and nothing is kept of it.
            static const std::string busyAnswer = [] {
                const std::string body =
                    "{\"error\":\"too many connections (Service/MaxConnections); try again shortly\"}";
                return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nCache-Control: "
                       "no-store\r\nX-Content-Type-Options: nosniff\r\nRetry-After: 1\r\nConnection: "
                       "close\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body;
            }();
            (void)!::send(socket.native_handle(), busyAnswer.data(), busyAnswer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            boost::system::error_code ignored;
            socket.shutdown(Protocol::socket::shutdown_both, ignored);
            socket.close(ignored);
        } else {
            ++door->open;
            auto connection = std::make_shared<Connection>(*this, door, std::move(socket));
            {
                std::lock_guard<std::mutex> lock(mutex);
                connections[connection.get()] = connection;
            }
            asio::post(connection->executor(), [connection] { connection->start(); });
        }
        accept(door);
    });
}

void ApiServer::forget(Connection* connection)
{
    std::lock_guard<std::mutex> lock(mutex);
    connections.erase(connection);
}

int ApiServer::openCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(connections.size());
}

void ApiServer::stop()
{
    if (stopping.exchange(true))
        return;
    const auto each = [this](bool force) {
        std::vector<std::shared_ptr<Connection>> open;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& item : connections) {
                if (auto connection = item.second.lock())
                    open.push_back(std::move(connection));
            }
        }
        // Released outside the lock: the last reference ends a connection, which takes it.
        for (const auto& connection : open)
            asio::post(connection->executor(), [connection, force] { connection->wind(force); });
    };
    for (const auto& door : doors) {
        asio::post(io, [door] {
            boost::system::error_code ignored;
            door->acceptor.close(ignored);
            door->retry.cancel();
        });
    }
    each(false);
    const auto until = std::chrono::steady_clock::now() + drainTime;
    while (openCount() > 0 && std::chrono::steady_clock::now() < until && !threads.empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    each(true);
    workers.join();
    const auto late = std::chrono::steady_clock::now() + drainTime;
    while (openCount() > 0 && std::chrono::steady_clock::now() < late && !threads.empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    io.stop();
    for (std::thread& thread : threads)
        thread.join();
    threads.clear();
}
