// Checks the loopback servers themselves, with clients that share no code with them: a raw POSIX
// socket (exact bytes, FIN versus RST, stalls), QSslSocket and QNetworkAccessManager on a worker.
#include "FtpServer.h"
#include "Sandbox.h"
#include "TestCertificates.h"
#include "TestHttpServer.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>
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

struct Fetched
{
    QNetworkReply::NetworkError error = QNetworkReply::UnknownNetworkError;
    int status = 0;
    QByteArray body;
    QUrl finalUrl;
};

// QNetworkAccessManager on a plain thread with its own event loop, the way transfers run.
Fetched fetchOnWorker(const QNetworkRequest& request, int timeoutMs = 20000)
{
    Fetched out;
    std::thread worker([&] {
        QNetworkAccessManager manager;
        QEventLoop loop;
        QNetworkReply* reply = manager.get(request);
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        if (!reply->isFinished()) {
            loop.exec();
        }
        out.error = reply->isFinished() ? reply->error() : QNetworkReply::TimeoutError;
        out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        out.body = reply->readAll();
        out.finalUrl = reply->url();
        reply->abort();
        delete reply;
    });
    worker.join();
    return out;
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

TEST_F(HttpServerTest, RangeIsHonouredOrIgnoredAsScripted)
{
    const qint64 size = 300000;
    Route ranged;
    ranged.generatedSize = size;
    ranged.seed = 7;
    server.route("/ranged", ranged);
    Route plain = ranged;
    plain.honourRange = false;
    server.route("/plain", plain);

    const RawReply whole = rawGet(server.port(), "/ranged");
    EXPECT_EQ(whole.end, RawReply::Eof);
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.header("Content-Length"), "300000");
    EXPECT_EQ(sha1(whole.body), TestHttpServer::generatedSha1(7, size));

    const RawReply tail = rawGet(server.port(), "/ranged", "Range: bytes=1000-\r\n");
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(tail.header("Content-Range"), "bytes 1000-299999/300000");
    EXPECT_EQ(tail.header("Content-Length"), "299000");
    EXPECT_EQ(tail.body, TestHttpServer::generatedContent(7, 1000, size - 1000));

    const RawReply ignored = rawGet(server.port(), "/plain", "Range: bytes=1000-\r\n");
    EXPECT_EQ(ignored.status, 200);
    EXPECT_EQ(ignored.header("Content-Range"), "<absent>");
    EXPECT_EQ(ignored.body.size(), size);

    EXPECT_EQ(rawGet(server.port(), "/ranged", "Range: bytes=300000-\r\n").status, 416);

    const RawReply head = rawGet(server.port(), "/ranged", QByteArray(), "HEAD");
    EXPECT_EQ(head.header("Content-Length"), "300000");
    EXPECT_TRUE(head.body.isEmpty());

    ASSERT_EQ(server.waitForRequests(5, 1000), 5);
    EXPECT_EQ(server.requests()[1].header("range"), "bytes=1000-");
}

TEST_F(HttpServerTest, ShortBodiesResetsAndStalls)
{
    Route cut;
    cut.generatedSize = 100000;
    cut.cutAfterBytes = 5000;
    server.route("/cut", cut);
    const RawReply cutReply = rawGet(server.port(), "/cut");
    EXPECT_EQ(cutReply.end, RawReply::Eof);
    EXPECT_EQ(cutReply.header("Content-Length"), "100000");
    EXPECT_EQ(cutReply.body, TestHttpServer::generatedContent(0, 0, 5000));

    Route reset = cut;
    reset.resetMidBody = true;
    server.route("/reset", reset);
    const RawReply resetReply = rawGet(server.port(), "/reset");
    EXPECT_EQ(resetReply.end, RawReply::Reset);
    EXPECT_LE(resetReply.body.size(), 5000);

    Route announced;
    announced.body = "short";
    announced.announcedLength = 5LL << 30;
    server.route("/announced", announced);
    const RawReply announcedReply = rawGet(server.port(), "/announced");
    EXPECT_EQ(announcedReply.header("Content-Length"), QByteArray::number(5LL << 30));
    EXPECT_EQ(announcedReply.body, "short");

    Route stuck;
    stuck.generatedSize = 100000;
    stuck.stallAfterBytes = 1000;
    stuck.stallMs = -1;
    server.route("/stuck", stuck);
    const RawReply stuckReply =
        rawExchange(server.port(), "GET /stuck HTTP/1.1\r\nHost: x\r\n\r\n", /*idleTimeoutMs=*/500);
    EXPECT_EQ(stuckReply.end, RawReply::TimedOut);
    EXPECT_EQ(stuckReply.body.size(), 1000);

    Route slow;
    slow.generatedSize = 100000;
    slow.stallAfterHeadersMs = 300;
    slow.bytesPerSecond = 200000;
    server.route("/slow", slow);
    QElapsedTimer clock;
    clock.start();
    const RawReply slowReply = rawGet(server.port(), "/slow");
    EXPECT_EQ(slowReply.body.size(), 100000);
    // 300 ms of stall plus about 500 ms at the rate; lower bounds only, so a busy machine passes.
    EXPECT_GE(clock.elapsed(), 700);
}

TEST_F(HttpServerTest, RedirectsStatusesProxyFormAndLargeHeaders)
{
    Route final;
    final.body = "final body";
    final.headers = {{"Content-Disposition", "attachment; filename=\"x.bin\""}};
    server.route("/final", final);
    server.redirectChain("/r", 3, "/final");

    EXPECT_EQ(rawGet(server.port(), "/r").header("Location"), server.url("/r/1").toUtf8());
    EXPECT_EQ(rawGet(server.port(), "/r/1").header("Location"), server.url("/r/2").toUtf8());
    const RawReply last = rawGet(server.port(), "/r/2");
    EXPECT_EQ(last.status, 302);
    EXPECT_EQ(last.header("Location"), server.url("/final").toUtf8());

    server.clearRequests();
    QNetworkRequest request(QUrl(server.url("/r")));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    const Fetched followed = fetchOnWorker(request);
    EXPECT_EQ(followed.error, QNetworkReply::NoError);
    EXPECT_EQ(followed.body, "final body");
    // Qt 5 sometimes sends one hop twice when the server closes each connection, so compare the
    // hops seen rather than the number of requests.
    QStringList hops;
    for (const RecordedRequest& seen : server.requests()) {
        if (!hops.contains(seen.path)) {
            hops.append(seen.path);
        }
    }
    EXPECT_EQ(hops, QStringList({"/r", "/r/1", "/r/2", "/final"}));

    Route gone;
    gone.status = 410;
    server.route("/gone", gone);
    const RawReply goneReply = rawGet(server.port(), "/gone");
    EXPECT_EQ(goneReply.status, 410);
    EXPECT_FALSE(goneReply.body.isEmpty());
    EXPECT_EQ(rawGet(server.port(), "/nowhere").status, 404);

    server.clearRequests();
    const RawReply proxied = rawGet(server.port(), "http://127.0.0.1:9/final?x=1");
    EXPECT_EQ(proxied.body, "final body");
    EXPECT_EQ(proxied.header("Content-Disposition"), "attachment; filename=\"x.bin\"");
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].target, "http://127.0.0.1:9/final?x=1");
    EXPECT_EQ(server.requests()[0].path, "/final");

    Route bulky;
    bulky.body = "after the headers";
    bulky.largeHeaderBytes = 1 << 20;
    server.route("/bulky", bulky);
    const RawReply bulkyReply = rawGet(server.port(), "/bulky");
    EXPECT_GE(bulkyReply.headBytes, 1 << 20);
    EXPECT_EQ(bulkyReply.body, "after the headers");
}

TEST_F(HttpServerTest, BasicAuthenticationAcceptsOnlyTheRightCredentials)
{
    Route secret;
    secret.body = "secret body";
    secret.authUser = "alice";
    secret.authPassword = "s3cret";
    server.route("/secret", secret);

    const RawReply missing = rawGet(server.port(), "/secret");
    EXPECT_EQ(missing.status, 401);
    EXPECT_EQ(missing.header("WWW-Authenticate"), "Basic realm=\"test\"");
    EXPECT_NE(missing.body, "secret body");
    const RawReply wrong =
        rawGet(server.port(), "/secret", "Authorization: Basic " + QByteArray("alice:no").toBase64() + "\r\n");
    EXPECT_EQ(wrong.status, 401);
    const RawReply right =
        rawGet(server.port(), "/secret", "Authorization: Basic " + QByteArray("alice:s3cret").toBase64() + "\r\n");
    EXPECT_EQ(right.status, 200);
    EXPECT_EQ(right.body, "secret body");
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

TEST(TestCertificatesTest, HandshakeSucceedsOnlyWhenTheClientTrustsTheCa)
{
    Sandbox sandbox;
    TestCertificates certificates;
    ASSERT_TRUE(certificates.create(sandbox.path())) << qPrintable(certificates.errorString());
    TestHttpServer server;
    Route hello;
    hello.body = "over tls";
    server.route("/hello", hello);
    ASSERT_TRUE(server.startTls(certificates));
    EXPECT_TRUE(server.url("/hello").startsWith("https://127.0.0.1:"));

    {
        QSslSocket trusting;
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setCaCertificates({certificates.caCertificate()});
        trusting.setSslConfiguration(conf);
        trusting.connectToHostEncrypted("127.0.0.1", server.port());
        ASSERT_TRUE(trusting.waitForEncrypted(10000)) << qPrintable(trusting.errorString());
        EXPECT_EQ(trusting.peerCertificate(), certificates.serverCertificate());
    }
    {
        QSslSocket distrusting;
        distrusting.connectToHostEncrypted("127.0.0.1", server.port());
        EXPECT_FALSE(distrusting.waitForEncrypted(10000));
        EXPECT_FALSE(distrusting.sslHandshakeErrors().isEmpty());
    }
    // Through QNetworkAccessManager, which also checks the name against the certificate.
    QNetworkRequest request(QUrl(server.url("/hello")));
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setCaCertificates({certificates.caCertificate()});
    request.setSslConfiguration(conf);
    const Fetched fetched = fetchOnWorker(request);
    EXPECT_EQ(fetched.error, QNetworkReply::NoError);
    EXPECT_EQ(fetched.body, "over tls");
    // A body much larger than the send window, so the TLS path must refill on encrypted writes.
    Route big;
    big.generatedSize = 8 << 20;
    big.seed = 9;
    server.route("/big", big);
    request.setUrl(QUrl(server.url("/big")));
    const Fetched bigFetched = fetchOnWorker(request);
    EXPECT_EQ(bigFetched.error, QNetworkReply::NoError);
    EXPECT_EQ(sha1(bigFetched.body), TestHttpServer::generatedSha1(9, 8 << 20));
    EXPECT_EQ(fetchOnWorker(QNetworkRequest(QUrl(server.url("/hello")))).error, QNetworkReply::SslHandshakeFailedError);
}

TEST(FtpServerTest, ServesFilesToTheAccountAndAnonymouslyAndThrottles)
{
    Sandbox sandbox;
    const QByteArray content = TestHttpServer::generatedContent(5, 0, 400000);
    ASSERT_TRUE(sandbox.writeFile("pub/data.bin", content));
    {
        FtpServer ftp;
        ASSERT_TRUE(ftp.start(sandbox.path())) << qPrintable(ftp.errorString());

        const Fetched withAccount = fetchOnWorker(QNetworkRequest(QUrl(ftp.url("/pub/data.bin"))));
        EXPECT_EQ(withAccount.error, QNetworkReply::NoError);
        EXPECT_EQ(withAccount.body, content);

        const Fetched anonymous = fetchOnWorker(QNetworkRequest(QUrl(ftp.url("/pub/data.bin", false))));
        EXPECT_EQ(anonymous.error, QNetworkReply::NoError);
        EXPECT_EQ(anonymous.body.size(), content.size());

        QUrl wrong(ftp.url("/pub/data.bin"));
        wrong.setPassword("wrong");
        EXPECT_NE(fetchOnWorker(QNetworkRequest(wrong)).error, QNetworkReply::NoError);
    }
    FtpServer slow;
    // pyftpdlib sends a second's worth at once and then sleeps, so the file spans several seconds' worth.
    ASSERT_TRUE(slow.start(sandbox.path(), 100000)) << qPrintable(slow.errorString());
    QElapsedTimer clock;
    clock.start();
    const Fetched throttled = fetchOnWorker(QNetworkRequest(QUrl(slow.url("/pub/data.bin"))));
    EXPECT_EQ(throttled.body, content);
    EXPECT_GE(clock.elapsed(), 1000);
}

} // namespace
