#include "ServiceClient.h"

#include "ConfigRead.h"

#include <QJsonDocument>
#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using Local = asio::local::stream_protocol;

namespace {

// Connects socket (of io) to path, sends request, then reads with read(socket, handler), all
// within wait. False when wait passed first (every operation on socket then cancelled); *ec:
// how it ended.
template <class Request, class Read>
bool exchange(asio::io_context& io, Local::socket& socket, const std::string& path, Request& request, Read read,
              std::chrono::milliseconds wait, boost::system::error_code* ec)
{
    socket.async_connect(Local::endpoint(path), [&](const boost::system::error_code& e) {
        if ((*ec = e))
            return;
        http::async_write(socket, request, [&](const boost::system::error_code& e, std::size_t) {
            if ((*ec = e))
                return;
            read(socket, [ec](const boost::system::error_code& e, std::size_t) { *ec = e; });
        });
    });
    io.run_for(wait);
    if (io.stopped())
        return true;
    boost::system::error_code ignored;
    socket.close(ignored);
    io.run();
    return false;
}

std::string noAnswer(const std::string& socketPath, std::chrono::milliseconds wait)
{
    return "the owner at " + socketPath + " did not answer within " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count()) +
           " s (Service/AnswerWaitSeconds); what it was asked may still be done";
}

} // namespace

std::chrono::milliseconds ServiceClient::configuredWait()
{
    return std::chrono::seconds(configInt("Service/AnswerWaitSeconds"));
}

struct ServiceClient::EventStream::Impl
{
    asio::io_context io;
    Local::socket socket{io};
    std::string pending;
    std::chrono::milliseconds idle{0};
    bool silent = false;
};

ServiceClient::EventStream::EventStream() : impl(new Impl) {}

ServiceClient::EventStream::~EventStream() = default;

bool ServiceClient::EventStream::open(const std::string& socketPath, const std::string& target, std::string* error)
{
    const std::chrono::milliseconds wait = configuredWait();
    impl->idle = std::max<std::chrono::milliseconds>(wait, 3 * pingEvery);
    http::request<http::empty_body> request{http::verb::get, target, 11};
    request.set(http::field::host, "localhost");
    request.set(http::field::accept, "text/event-stream");
    beast::flat_buffer buffer;
    http::response_parser<http::empty_body> parser;
    boost::system::error_code ec;
    const auto readHeader = [&](Local::socket& from, auto done) {
        http::async_read_header(from, buffer, parser, done);
    };
    if (!exchange(impl->io, impl->socket, socketPath, request, readHeader, wait, &ec)) {
        impl->silent = true;
        *error = noAnswer(socketPath, wait);
        return false;
    }
    if (ec) {
        *error = "cannot reach the owner at " + socketPath + ": " + ec.message();
        return false;
    }
    if (parser.get().result() != http::status::ok) {
        *error = "the owner refused the event stream (" + std::to_string(parser.get().result_int()) + ")";
        return false;
    }
    // Bytes read past the header already belong to the stream.
    impl->pending.assign(static_cast<const char*>(buffer.data().data()), buffer.size());
    return true;
}

bool ServiceClient::EventStream::next(Event& event)
{
    for (;;) {
        const std::size_t end = impl->pending.find("\n\n");
        if (end != std::string::npos) {
            const std::string block = impl->pending.substr(0, end);
            impl->pending.erase(0, end + 2);
            event = Event();
            std::size_t start = 0;
            bool any = false;
            while (start <= block.size()) {
                std::size_t stop = block.find('\n', start);
                if (stop == std::string::npos)
                    stop = block.size();
                const std::string line = block.substr(start, stop - start);
                start = stop + 1;
                if (line.compare(0, 7, "event: ") == 0)
                    event.name = line.substr(7);
                else if (line.compare(0, 6, "data: ") == 0)
                    event.data += line.substr(6), any = true;
            }
            if (any)
                return true;
            continue; // a comment: keep-alive
        }
        // The owner pings: a stream without a byte for three pings has an owner that hangs.
        pollfd ready{impl->socket.native_handle(), POLLIN, 0};
        int got;
        do
            got = ::poll(&ready, 1, int(impl->idle.count()));
        while (got < 0 && errno == EINTR);
        if (got == 0) {
            impl->silent = true;
            return false;
        }
        char chunk[16384];
        boost::system::error_code ec;
        const std::size_t n = impl->socket.read_some(asio::buffer(chunk), ec);
        if (ec || n == 0)
            return false;
        impl->pending.append(chunk, n);
    }
}

bool ServiceClient::EventStream::silent() const
{
    return impl->silent;
}

void ServiceClient::EventStream::close()
{
    ::shutdown(impl->socket.native_handle(), SHUT_RDWR);
}

bool ServiceClient::reachable() const
{
    asio::io_context io;
    Local::socket probe(io);
    boost::system::error_code ec;
    probe.connect(Local::endpoint(socket), ec);
    return !ec;
}

ServiceClient::Answer ServiceClient::request(const std::string& method, const std::string& target,
                                             const QJsonObject* body)
{
    Answer answer;
    asio::io_context io;
    Local::socket connection(io);
    http::request<http::string_body> request{http::string_to_verb(method), target, 11};
    request.set(http::field::host, "localhost");
    request.keep_alive(false);
    if (body) {
        request.set(http::field::content_type, "application/json");
        request.body() = QJsonDocument(*body).toJson(QJsonDocument::Compact).toStdString();
    }
    request.prepare_payload();
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    boost::system::error_code ec;
    const auto readAll = [&](Local::socket& from, auto done) { http::async_read(from, buffer, response, done); };
    if (!exchange(io, connection, socket, request, readAll, answerWait, &ec)) {
        answer.silent = true;
        answer.error = noAnswer(socket, answerWait);
        return answer;
    }
    if (ec && ec != http::error::end_of_stream) {
        answer.error = "cannot reach the owner at " + socket + ": " + ec.message();
        return answer;
    }
    answer.status = response.result_int();
    answer.body = QJsonDocument::fromJson(QByteArray::fromStdString(response.body())).object();
    answer.error = answer.body.value("error").toString().toStdString();
    return answer;
}
