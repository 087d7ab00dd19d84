#include "DemoServer.h"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <openssl/evp.h>
#include <sys/socket.h>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

const std::size_t blockSize = 64 * 1024;

} // namespace

struct DemoServer::Impl
{
    asio::io_context io;
    tcp::acceptor listener{io};
};

DemoServer::DemoServer(std::uint64_t size, std::uint64_t bytesPerSecond, std::uint32_t seed, std::string path)
    : size(size), rate(bytesPerSecond), seed(seed), path(std::move(path)), impl(new Impl)
{
}

DemoServer::~DemoServer()
{
    stop();
}

void DemoServer::fill(std::uint64_t offset, char* out, std::size_t length) const
{
    // Each 8-byte word is a hash of its index: any range is computable on its own.
    const std::uint64_t end = offset + length;
    for (std::uint64_t word = offset / 8; word * 8 < end; ++word) {
        std::uint64_t x = (word + 1) * 0x9E3779B97F4A7C15ull ^ seed;
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        for (std::uint64_t at = std::max(word * 8, offset); at < std::min(word * 8 + 8, end); ++at)
            out[at - offset] = static_cast<char>(x >> (8 * (at % 8)));
    }
}

bool DemoServer::start(std::string* error)
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha1(), nullptr);
    std::vector<char> block(blockSize);
    for (std::uint64_t offset = 0; offset < size; offset += blockSize) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, size - offset));
        fill(offset, block.data(), length);
        EVP_DigestUpdate(context, block.data(), length);
    }
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int count = 0;
    EVP_DigestFinal_ex(context, bytes, &count);
    EVP_MD_CTX_free(context);
    static const char hex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < count; ++i)
        digest += std::string{hex[bytes[i] >> 4], hex[bytes[i] & 15]};

    boost::system::error_code ec;
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    impl->listener.open(endpoint.protocol(), ec);
    if (!ec)
        impl->listener.bind(endpoint, ec);
    if (!ec)
        impl->listener.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on 127.0.0.1: " + ec.message();
        return false;
    }
    acceptor = std::thread([this] { acceptLoop(); });
    return true;
}

std::string DemoServer::url() const
{
    return "http://127.0.0.1:" + std::to_string(impl->listener.local_endpoint().port()) + path;
}

std::vector<std::string> DemoServer::takeLines()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> taken;
    taken.swap(lines);
    return taken;
}

void DemoServer::stop()
{
    if (stopping.exchange(true) || !acceptor.joinable())
        return;
    ::shutdown(impl->listener.native_handle(), SHUT_RDWR);
    acceptor.join();
    std::vector<std::thread> all;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (int fd : open)
            ::shutdown(fd, SHUT_RDWR);
        all.swap(connections);
    }
    for (std::thread& thread : all)
        thread.join();
}

void DemoServer::acceptLoop()
{
    while (!stopping) {
        boost::system::error_code ec;
        tcp::socket socket(impl->io);
        impl->listener.accept(socket, ec);
        if (stopping)
            return;
        if (ec)
            continue;
        const int fd = socket.release(ec);
        std::lock_guard<std::mutex> lock(mutex);
        open.push_back(fd);
        connections.emplace_back([this, fd] { serve(fd); });
    }
}

void DemoServer::serve(int fd)
{
    asio::io_context io;
    tcp::socket socket(io, tcp::v4(), fd);
    beast::flat_buffer buffer;
    http::request<http::empty_body> request;
    boost::system::error_code ec;
    http::read(socket, buffer, request, ec);
    if (!ec) {
        const auto range = request.find(http::field::range);
        const std::string rangeText = range == request.end() ? std::string() : std::string(range->value());
        {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back("REQUEST " + std::string(request.method_string()) + " " + std::string(request.target()) +
                            " " + (rangeText.empty() ? std::string("no Range") : "Range: " + rangeText));
        }
        std::uint64_t from = 0;
        if (rangeText.compare(0, 6, "bytes=") == 0 && rangeText.back() == '-')
            from = std::strtoull(rangeText.c_str() + 6, nullptr, 10);
        http::response<http::empty_body> head;
        head.version(11);
        head.keep_alive(false);
        if (request.target() != path) {
            head.result(http::status::not_found);
            head.content_length(0);
            from = size;
        } else if (from > 0 && from < size) {
            head.result(http::status::partial_content);
            head.set(http::field::content_range,
                     "bytes " + std::to_string(from) + "-" + std::to_string(size - 1) + "/" + std::to_string(size));
            head.content_length(size - from);
        } else {
            from = 0;
            head.result(http::status::ok);
            head.content_length(size);
        }
        head.set(http::field::accept_ranges, "bytes");
        http::response_serializer<http::empty_body> serializer(head);
        http::write_header(socket, serializer, ec);
        // Paced by the clock: at any moment no more than rate bytes per second so far.
        const auto began = std::chrono::steady_clock::now();
        std::vector<char> block(blockSize);
        std::uint64_t sent = 0;
        for (std::uint64_t at = from; !ec && at < size && !stopping; at += block.size()) {
            const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, size - at));
            fill(at, block.data(), length);
            asio::write(socket, asio::buffer(block.data(), length), ec);
            sent += length;
            if (rate > 0)
                std::this_thread::sleep_until(began + std::chrono::microseconds(sent * 1000000 / rate));
        }
    }
    socket.shutdown(tcp::socket::shutdown_both, ec);
    std::lock_guard<std::mutex> lock(mutex);
    open.erase(std::remove(open.begin(), open.end(), fd), open.end());
}
