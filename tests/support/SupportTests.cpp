// Checks what the product tests cannot see of the loopback server: generated content by offset,
// many clients at once, and flow control, with a raw POSIX socket that shares no code with it.
#include "TestHttpServer.h"

#include <QCryptographicHash>
#include <QFile>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct RawReply
{
    enum End
    {
        Eof,
        Reset,
        TimedOut,
        ClientStopped,
        Failed
    };
    End end = Failed;
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    int headBytes = 0;
    QByteArray body;

    QByteArray header(const QByteArray& name) const
    {
        for (const auto& h : headers) {
            if (h.first.compare(name, Qt::CaseInsensitive) == 0) {
                return h.second;
            }
        }
        return "<absent>";
    }
};

void parseHead(const QByteArray& data, RawReply* reply)
{
    const int end = data.indexOf("\r\n\r\n");
    if (end < 0) {
        reply->body = data;
        return;
    }
    const QList<QByteArray> lines = data.left(end).split('\n');
    reply->status = lines.value(0).split(' ').value(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        reply->headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    reply->headBytes = end + 4;
    reply->body = data.mid(end + 4);
}

// Sends `request` verbatim and reads until the server closes, resets, or is silent for
// idleTimeoutMs. With stopAfterBody >= 0 the client hangs up itself after that many body bytes.
RawReply rawExchange(quint16 port, const QByteArray& request, int idleTimeoutMs = 10000, qint64 stopAfterBody = -1)
{
    RawReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size()) {
        ::close(fd);
        return reply;
    }
    QByteArray data;
    std::vector<char> buf(64 * 1024);
    int headEnd = -1;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, idleTimeoutMs) == 0) {
            reply.end = RawReply::TimedOut;
            break;
        }
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n == 0) {
            reply.end = RawReply::Eof;
            break;
        }
        if (n < 0) {
            reply.end = errno == ECONNRESET ? RawReply::Reset : RawReply::Failed;
            break;
        }
        data.append(buf.data(), int(n));
        if (headEnd < 0) {
            headEnd = data.indexOf("\r\n\r\n");
        }
        if (stopAfterBody >= 0 && headEnd >= 0 && data.size() - headEnd - 4 >= stopAfterBody) {
            reply.end = RawReply::ClientStopped;
            break;
        }
    }
    ::close(fd);
    parseHead(data, &reply);
    return reply;
}

RawReply rawGet(quint16 port, const QByteArray& path, const QByteArray& extraHeaders = QByteArray(),
                const QByteArray& method = "GET")
{
    return rawExchange(port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n" +
                                 extraHeaders + "\r\n");
}

QByteArray sha1(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1);
}

class HttpServerTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    TestHttpServer server;
};

TEST(GeneratedContent, IsAddressableByAnyOffsetAndDependsOnSeed)
{
    const QByteArray whole = TestHttpServer::generatedContent(7, 0, 100000);
    // Unaligned offsets and lengths must agree with the whole, or ranged downloads would not match.
    EXPECT_EQ(TestHttpServer::generatedContent(7, 13, 1001), whole.mid(13, 1001));
    EXPECT_EQ(TestHttpServer::generatedContent(7, 65531, 5), whole.mid(65531, 5));
    EXPECT_NE(TestHttpServer::generatedContent(8, 0, 100000), whole);
    EXPECT_EQ(TestHttpServer::generatedSha1(7, 100000), sha1(whole));
    // The digest spans several internal chunks.
    const qint64 big = 3 * 1024 * 1024 + 17;
    EXPECT_EQ(TestHttpServer::generatedSha1(7, big), sha1(TestHttpServer::generatedContent(7, 0, big)));
}

TEST_F(HttpServerTest, ServesFiftyConcurrentClientsWhileOthersHangUp)
{
    const qint64 size = 2 * 1024 * 1024;
    Route big;
    big.generatedSize = size;
    big.seed = 3;
    server.route("/big", big);
    const QByteArray expected = TestHttpServer::generatedSha1(3, size);

    std::vector<RawReply> replies(50);
    std::vector<std::thread> clients;
    for (int i = 0; i < 50; ++i) {
        clients.emplace_back([&, i] {
            const qint64 stopAfter = i % 5 == 0 ? 64 * 1024 : -1;
            replies[size_t(i)] = rawExchange(server.port(), "GET /big HTTP/1.1\r\nHost: x\r\n\r\n", 20000, stopAfter);
        });
    }
    for (auto& c : clients) {
        c.join();
    }
    for (int i = 0; i < 50; ++i) {
        const RawReply& r = replies[size_t(i)];
        if (i % 5 == 0) {
            EXPECT_EQ(r.end, RawReply::ClientStopped) << i;
        } else {
            EXPECT_EQ(r.end, RawReply::Eof) << i;
            EXPECT_EQ(sha1(r.body), expected) << i;
        }
    }
    EXPECT_EQ(rawGet(server.port(), "/big").body.size(), size);
}

qint64 residentBytes()
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return statm.readAll().split(' ').value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

TEST_F(HttpServerTest, HoldsTheBodyBackWhileTheClientDoesNotRead)
{
    Route huge;
    huge.generatedSize = 512LL << 20;
    server.route("/huge", huge);
    const qint64 before = residentBytes();
    ASSERT_GT(before, 0);

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server.port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    const QByteArray request = "GET /huge HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL), request.size());
    ASSERT_EQ(server.waitForRequests(1, 5000), 1);
    // Long enough for a server without flow control to generate and queue much of the body.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const qint64 growth = residentBytes() - before;
    EXPECT_LT(growth, 64LL << 20);

    qint64 received = 0;
    std::vector<char> buf(64 * 1024);
    while (received < (4 << 20)) {
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
            break;
        }
        received += n;
    }
    ::close(fd);
    EXPECT_GE(received, 4 << 20);
}
} // namespace
