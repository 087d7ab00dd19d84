// The owner's interface as programs meet it: bad input refused without effect, the password
// kept out of sight, the TCP guards, a client killed mid-stream, and many clients at once.
#include "Fixture.h"
#include "OwnerProcess.h"
#include "ScriptServer.h"

#include <QDir>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTcpSocket>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

struct Answer
{
    int status = 0;
    QByteArray head, body;
};

// Sends text as it is and reads the answer until the owner closes the connection.
Answer exchange(QIODevice& socket, const QByteArray& text)
{
    socket.write(text);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
    }
    QByteArray all;
    while (socket.waitForReadyRead(5000))
        all += socket.readAll();
    all += socket.readAll();
    Answer answer;
    const int split = all.indexOf("\r\n\r\n");
    answer.head = all.left(split);
    answer.body = split < 0 ? QByteArray() : all.mid(split + 4);
    answer.status = all.mid(9, 3).toInt();
    return answer;
}

Answer overUnix(const std::string& socketPath, const QByteArray& text)
{
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(socketPath));
    if (!socket.waitForConnected(5000))
        return Answer();
    return exchange(socket, text);
}

Answer overTcp(quint16 port, const QByteArray& text)
{
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", port);
    if (!socket.waitForConnected(5000))
        return Answer();
    return exchange(socket, text);
}

QByteArray httpRequest(const QByteArray& method, const QByteArray& target, const QByteArray& body,
                       const QByteArray& headers = "Host: localhost\r\n")
{
    return method + " " + target + " HTTP/1.1\r\n" + headers + "Content-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

class InterfaceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(owner.serve(extraOptions()));
    }
    virtual QStringList extraOptions() const { return {}; }

    Sandbox sandbox;
    ScriptServer server;
    const std::string data = sandbox.file("data/");
    OwnerProcess owner{data};
};

TEST_F(InterfaceTest, BadInputGetsA4xxWithItsReasonAndChangesNothing)
{
    const QByteArray good = ("{\"url\":\"" + server.url("/g.bin?size=10&seed=1") + "\"}").c_str();
    struct Case
    {
        QByteArray request;
        int status;
        const char* error;
    };
    const auto post = [](const QByteArray& body) { return httpRequest("POST", "/v1/downloads", body); };
    const std::vector<Case> cases = {
        {post("{bad"), 400, "malformed JSON"},
        {post("[]"), 400, "the body must be {\\\"downloads\\\":[...]}"},
        {post("{\"downloads\":[]}"), 400, "no downloads given"},
        {post("{\"downloads\":[{\"dir\":\"/tmp\"}]}"), 400, "download 1: missing url"},
        {post("{\"downloads\":[{\"url\":5}]}"), 400, "download 1: \\\"url\\\" must be a string"},
        {post("{\"downloads\":[{\"url\":\"gopher://127.0.0.1/x\"}]}"), 400, "not an http, https or ftp URL"},
        // All or nothing: the good first download is not started either.
        {post("{\"downloads\":[" + good + ",{\"url\":\"file:///etc/passwd\"}]}"), 400, "download 2: not an http"},
        {post("{\"downloads\":[" + good.chopped(1) + ",\"sha1\":\"abc\"}]}"), 400, "sha1 needs 40 hexadecimal digits"},
        {post("{\"downloads\":[" + good.chopped(1) + ",\"dir\":\"relative/x\"}]}"), 400, "dir must be an absolute path"},
        {post("{\"downloads\":[" + good.chopped(1) + ",\"id\":\"a/b\"}]}"), 400, "id must be"},
        {post("{\"downloads\":[" + good.chopped(1) + ",\"id\":\"i\"}," + good.chopped(1) + ",\"id\":\"i\"}]}"), 400,
         "the id i is given twice"},
        {"POST /v1/downloads HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2000000\r\n\r\n{", 413,
         "the body is larger than 1 MiB"},
        {httpRequest("POST", "/v1/downloads/nope/pause", ""), 404, "no running download nope"},
        {httpRequest("POST", "/v1/downloads/nope/resume", ""), 404, "no persisted download nope"},
        {httpRequest("POST", "/v1/downloads/nope/abort", ""), 404, "no download nope"},
        {httpRequest("POST", "/v1/downloads/nope/delete", ""), 404, "no such endpoint"},
        {httpRequest("GET", "/v2/downloads", ""), 404, "no such endpoint"},
        {httpRequest("DELETE", "/v1/downloads", ""), 405, "use GET or POST"},
        {httpRequest("POST", "/v1/events", ""), 405, "use GET on /v1/events"},
        {"garbage\r\n\r\n", 400, "not an HTTP request"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.left(120).toStdString());
        const Answer answer = overUnix(data + "haul.sock", c.request);
        EXPECT_EQ(c.status, answer.status) << answer.body.toStdString();
        EXPECT_TRUE(answer.body.startsWith("{\"")) << answer.body.toStdString();
        EXPECT_TRUE(answer.body.contains(c.error)) << answer.body.toStdString();
    }
    const QJsonObject listed = owner.client.get("/v1/downloads").body;
    EXPECT_TRUE(listed.value("running").toArray().isEmpty());
    EXPECT_TRUE(listed.value("persisted").toArray().isEmpty());
    EXPECT_EQ(0, server.requests().size());
    EXPECT_TRUE(QDir((data + "download").c_str()).isEmpty());
    EXPECT_TRUE(owner.running());
}

TEST_F(InterfaceTest, PasswordAppearsInNoListEventOrLog)
{
    server.script("/p.bin", "size=600000&seed=4&auth=alice:s3cret-Pa55&rate=600000");
    EventLog events;
    ASSERT_TRUE(events.open(data + "haul.sock"));
    QJsonArray list;
    for (const char* password : {"s3cret-Pa55", "wrong-guess"}) {
        QJsonObject item = download(server.url("/p.bin"));
        item.insert("user", "alice");
        item.insert("password", password);
        list.append(item);
    }
    const ServiceClient::Answer started = owner.client.post("/v1/downloads", downloads(list));
    ASSERT_EQ(201, started.status);
    const QString right = started.body.value("ids").toArray().at(0).toString();
    const QString wrong = started.body.value("ids").toArray().at(1).toString();
    ASSERT_TRUE(waitUntil([&] { return owner.client.get("/v1/downloads").body.value("persisted").toArray().size() > 0; }));
    QByteArray seen = QJsonDocument(owner.client.get("/v1/downloads").body).toJson();
    ASSERT_TRUE(waitUntil([&] { return events.count("ended", right) == 1 && events.count("ended", wrong) == 1; }));
    EXPECT_EQ(1, events.count("", right, "WasFinished"));
    EXPECT_EQ(1, events.count("", wrong, "WasFailed"));
    for (const auto& event : events.events())
        seen += QJsonDocument(event.second).toJson();
    seen += owner.stop(SIGTERM).err;
    for (const QString& name : QDir((data + "store").c_str()).entryList(QDir::Files))
        seen += readFile(data + "store/" + name.toStdString());
    EXPECT_TRUE(seen.contains("alice") || seen.contains("p.bin"));
    EXPECT_FALSE(seen.contains("s3cret-Pa55") || seen.contains("wrong-guess"));
}

TEST_F(InterfaceTest, ClientKilledMidStreamDisturbsNeitherTheOwnerNorOtherClients)
{
    EventLog other;
    ASSERT_TRUE(other.open(data + "haul.sock"));
    HaulProcess killed(data);
    killed.start({"get", server.url("/k.bin?size=2000000&seed=8&rate=1000000").c_str(), "--id", "K"});
    ASSERT_TRUE(waitUntil([&] { return other.count("", "K", "Progress") > 0; }));
    killed.stop(SIGKILL);
    // The download belongs to the owner, not to the command that asked for it.
    EXPECT_TRUE(waitUntil([&] { return other.count("ended", "K") == 1; }));
    EXPECT_EQ(1, other.count("", "K", "WasFinished"));
    EXPECT_EQ(bodySha1(2000000, 8), sha1Hex(readFile(data + "download/k.bin")));
    EXPECT_TRUE(owner.running());
    HaulProcess next(data);
    EXPECT_TRUE(next.run({"get", server.url("/n.bin?size=1000&seed=9").c_str()}).shows(0, "saved: "));
}

// 20 clients start 10 downloads each at once, beyond the owner's limit of 50: every one of the
// 200 ends exactly once, and every client's stream shows every ending once.
TEST_F(InterfaceTest, TwentyClientsStartingTenEachSeeEveryDownloadEndOnce)
{
    const int clients = 20, each = 10;
    std::vector<std::unique_ptr<EventLog>> logs;
    for (int c = 0; c < clients; ++c) {
        logs.emplace_back(new EventLog);
        ASSERT_TRUE(logs.back()->open(data + "haul.sock"));
    }
    std::vector<std::thread> threads;
    std::atomic<int> accepted{0};
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            ServiceClient client(data + "haul.sock");
            QJsonArray list;
            for (int d = 0; d < each; ++d)
                list.append(download(server.url(QString("/c%1-%2.bin?size=20000&seed=%3").arg(c).arg(d).arg(c * each + d)),
                                     "c" + std::to_string(c) + "-" + std::to_string(d)));
            if (client.post("/v1/downloads", downloads(list)).status == 201)
                accepted += each;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_EQ(clients * each, accepted.load());
    for (const auto& log : logs) {
        EXPECT_TRUE(waitUntil(
            [&] {
                int ended = 0;
                for (const auto& event : log->events())
                    ended += event.first == "ended";
                return ended >= clients * each;
            },
            60000));
    }
    for (int c = 0; c < clients; ++c) {
        for (int d = 0; d < each; ++d) {
            const QString id = QString("c%1-%2").arg(c).arg(d);
            for (const auto& log : logs) {
                EXPECT_EQ(1, log->count("ended", id)) << id.toStdString();
                EXPECT_EQ(1, log->count("", id, "WasFinished")) << id.toStdString();
            }
            EXPECT_EQ(body(20000, quint32(c * each + d)),
                      readFile(data + "download/" + id.toStdString() + ".bin"));
        }
    }
}

class TcpTest : public InterfaceTest
{
protected:
    QStringList extraOptions() const override { return {"--listen", "127.0.0.1:0"}; }
};

TEST_F(TcpTest, RequestsNeedTheTokenAndTheListeningAddressAsHostAndOrigin)
{
    QRegularExpressionMatch found;
    ASSERT_TRUE(waitUntil([&] {
        found = QRegularExpression("http://127\\.0\\.0\\.1:(\\d+)").match(QString::fromUtf8(owner.errorSoFar()));
        return found.hasMatch();
    })) << owner.errorSoFar().toStdString();
    const quint16 port = quint16(found.captured(1).toUInt());
    struct stat file{};
    ASSERT_EQ(0, ::stat((data + "token").c_str(), &file));
    EXPECT_EQ(0600u, file.st_mode & 0777);
    const QByteArray token = readFile(data + "token").trimmed();
    ASSERT_EQ(64, token.size());

    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    const QByteArray bearer = "Authorization: Bearer " + token + "\r\n";
    struct Case
    {
        QByteArray target, headers;
        int status;
    };
    const std::vector<Case> cases = {
        {"/v1/downloads", host, 401},
        {"/v1/downloads", host + "Authorization: Bearer " + QByteArray(64, '0') + "\r\n", 401},
        {"/v1/downloads", host + "Authorization: Bearer " + token.left(63) + "\r\n", 401},
        {"/v1/downloads?token=" + token, "Host: evil.example:" + QByteArray::number(port) + "\r\n", 403},
        {"/v1/downloads", bearer, 403},
        {"/v1/downloads", host + bearer + "Origin: http://evil.example\r\n", 403},
        {"/v1/downloads", host + bearer + "Origin: null\r\n", 403},
        {"/v1/downloads", host + bearer + "Origin: http://127.0.0.1:" + QByteArray::number(port) + "\r\n", 200},
        {"/v1/downloads", "Host: localhost:" + QByteArray::number(port) + "\r\n" + bearer, 200},
        {"/v1/downloads?token=" + token, host, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.target + " " + c.headers).toStdString());
        const Answer answer = overTcp(port, httpRequest("GET", c.target, "", c.headers));
        EXPECT_EQ(c.status, answer.status) << answer.body.toStdString();
    }
    // An EventSource cannot set headers: the token in the query opens the stream.
    QTcpSocket stream;
    stream.connectToHost("127.0.0.1", port);
    ASSERT_TRUE(stream.waitForConnected(5000));
    stream.write("GET /v1/events?token=" + token + " HTTP/1.1\r\n" + host + "\r\n");
    ASSERT_TRUE(stream.waitForReadyRead(5000));
    EXPECT_TRUE(stream.readAll().startsWith("HTTP/1.1 200 OK\r\n"));
}

TEST(ServeOptionsTest, ListenAddressesOtherThanLoopbackNeedAllowRemote)
{
    Sandbox sandbox;
    struct Case
    {
        QStringList options;
        const char* text;
    };
    for (const Case& c : std::vector<Case>{{{"--listen", "0.0.0.0:0"}, "is not a loopback address"},
                                           {{"--listen", "127.0.0.1"}, "--listen needs ADDRESS:PORT"},
                                           {{"--listen", "example.org:80"}, "--listen needs ADDRESS:PORT"},
                                           {{"--log-level", "loud"}, "--log-level takes"}}) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        HaulProcess serve(sandbox.file("data/"));
        EXPECT_TRUE(serve.run(QStringList{"serve"} + c.options).shows(2, c.text));
    }
}

} // namespace
