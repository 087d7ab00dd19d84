// The owner's interface as programs meet it: bad input refused without effect, the password
// kept out of sight, a client killed mid-stream, many clients at once, and the TCP guards.
#include "OwnerProcess.h"
#include "ScriptServer.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTcpSocket>
#include <atomic>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray httpRequest(const QByteArray& method, const QByteArray& target,
                       const QByteArray& headers = "Host: localhost\r\n", const QByteArray& body = "")
{
    return method + " " + target + " HTTP/1.1\r\n" + headers + "Content-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

struct Answer
{
    int status = 0;
    QByteArray head, body;
};

// Sends text as it is and reads until the owner closes the connection.
template <class Socket> Answer exchange(Socket& socket, const QByteArray& text)
{
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(text); // sent while waiting for the answer
    QByteArray all;
    while (socket.waitForReadyRead(5000))
        all += socket.readAll();
    all += socket.readAll();
    const int split = all.indexOf("\r\n\r\n");
    return {all.mid(9, 3).toInt(), all.left(split), all.mid(split + 4)};
}

Answer overUnix(const std::string& data, const QByteArray& text)
{
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(data + "haul.sock"));
    return exchange(socket, text);
}

Answer overTcp(quint16 port, const QByteArray& text)
{
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", port);
    return exchange(socket, text);
}

class InterfaceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(owner.serve({"--listen", "127.0.0.1:0", "-v"})); // the plugin's lines too
    }

    Sandbox sandbox;
    ScriptServer server;
    const std::string data = sandbox.file("data/");
    OwnerProcess owner{data};
};

// The Unix socket's table of hostile input: each refused with its reason, and afterwards nothing
// started, stored, fetched or created, and the owner still serving.
TEST_F(InterfaceTest, BadInputGetsA4xxWithItsReasonAndChangesNothing)
{
    const QByteArray good = ("{\"url\":\"" + server.url("/g.bin?size=10&seed=1") + "\"").c_str();
    const auto body = [](const QByteArray& text) {
        return httpRequest("POST", "/v1/downloads", "Host: localhost\r\n", text);
    };
    const auto post = [&](const QByteArray& list) { return body("{\"downloads\":[" + list + "]}"); };
    // A batch whose second folder cannot be made leaves none of the first's behind.
    ASSERT_TRUE(writeFile(sandbox.file("plain-file"), "x"));
    const QByteArray made = sandbox.file("new/a").c_str(), blocked = sandbox.file("plain-file/b").c_str();
    QByteArray thousand = good + "}";
    for (int i = 0; i < 1000; ++i)
        thousand += "," + good + "}";
    const std::vector<std::tuple<QByteArray, int, const char*>> cases = {
        {body("{bad"), 400, "malformed JSON"},
        {body("[]"), 400, "the body must be a JSON object"},
        {body("{\"downloads\":{}}"), 400, "the body must be {\\\"downloads\\\":[...]}"},
        {body(QByteArray(100000, '[')), 400, "nested deeper than 8 levels"},
        {post(""), 400, "no downloads given"},
        {post(thousand), 400, "at most 1000 downloads in one request, got 1001"},
        {post("{\"dir\":\"/tmp\"}"), 400, "download 1: missing url"},
        {post("{\"url\":5}"), 400, "download 1: \\\"url\\\" must be a string"},
        {post("{\"url\":\"gopher://127.0.0.1/x\"}"), 400, "unsupported scheme \\\"gopher\\\""},
        {post("{\"url\":\"http://127.0.0.1/" + QByteArray(300000, 'a') + "\"}"), 400, "longer than 8 KiB"},
        // All or nothing: the good first download is not started either.
        {post(good + "},{\"url\":\"file:///etc/passwd\"}"), 400, "download 2: bad URL"},
        {post(good + ",\"sha1\":\"abc\"}"), 400, "sha1 needs 40 hexadecimal digits"},
        {post(good + ",\"dir\":\"relative/x\"}"), 400, "dir must be an absolute path"},
        {post(good + ",\"dir\":\"/tmp/" + QByteArray(5000, 'd') + "\"}"), 400, "dir is longer than 4096"},
        {post(good + ",\"dir\":\"" + made + "\"}," + good + ",\"dir\":\"" + blocked + "\"}"), 400,
         "cannot create the folder"},
        {post(good + ",\"id\":\"a/b\"}"), 400, "may hold only letters, digits"},
        {post(good + ",\"id\":\"" + QByteArray(2200, 'i') + "\"}"), 400, "id is longer than 200"},
        {post(good + ",\"id\":\"i\"}," + good + ",\"id\":\"i\"}"), 400, "the id i is given twice"},
        {"POST /v1/downloads HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2000000\r\n\r\n{", 413,
         "the body is larger than 1 MiB"},
        {"GET /v1/downloads HTTP/1.1\r\nHost: localhost\r\nX-Long: " + QByteArray(20000, 'x') + "\r\n\r\n", 431,
         "larger than 16 KiB"},
        {httpRequest("POST", "/v1/downloads/nope/pause"), 404, "\"code\":270,\"error\":\"no download nope\""},
        {httpRequest("POST", "/v1/downloads/nope/resume"), 404, "\"code\":269,\"error\":\"no download nope\""},
        {httpRequest("POST", "/v1/downloads/nope/abort"), 404, "\"code\":272,\"error\":\"no download nope\""},
        {httpRequest("POST", "/v1/downloads/" + QByteArray(300, 'n') + "/abort"), 400, "id is longer than 200"},
        {httpRequest("POST", "/v1/session"), 404, "sessions are for the TCP interface"},
        {httpRequest("GET", "/v2/downloads"), 404, "no such endpoint"},
        {httpRequest("GET", "/" + QByteArray(8000, 'p')), 404, "no such endpoint"},
        {httpRequest("DELETE", "/v1/downloads"), 405, "use GET or POST"},
        {httpRequest("POST", "/v1/events"), 405, "use GET on /v1/events"},
        {"garbage\r\n\r\n", 400, "not an HTTP request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::get<0>(c).left(120).toStdString());
        const Answer answer = overUnix(data, std::get<0>(c));
        EXPECT_EQ(std::get<1>(c), answer.status) << answer.body.left(300).data();
        EXPECT_TRUE(answer.body.startsWith("{\"") && answer.body.contains(std::get<2>(c)) && answer.body.size() < 2000)
            << answer.body.left(300).data();
        EXPECT_TRUE(answer.head.contains("Cache-Control: no-store") && answer.head.contains("nosniff"));
    }
    EXPECT_EQ(QJsonArray(), owner.client.get("/v1/downloads").body.value("downloads").toArray());
    EXPECT_EQ(0, server.requests().size());
    EXPECT_TRUE(QDir((data + "download").c_str()).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(sandbox.file("new").c_str()));
}

// A command killed while its download runs disturbs neither the owner, its download nor other
// clients; passwords given show up in no list, event, log or stored record.
TEST_F(InterfaceTest, KilledClientDisturbsNothingAndThePasswordAppearsNowhere)
{
    EventLog events(data + "haul.sock");
    ASSERT_TRUE(events.open());
    HaulProcess killed(data);
    killed.start({"get", server.url("/k.bin?size=2000000&seed=8&rate=1000000").c_str(), "--id", "K"});
    server.script("/p.bin", "size=600000&seed=4&auth=alice:s3cret-Pa55&rate=600000");
    QJsonArray list;
    for (const auto& [id, password] : {std::pair{"right", "s3cret-Pa55"}, {"wrong", "wrong-guess"}})
        list.append(
            QJsonObject{{"url", server.url("/p.bin").c_str()}, {"id", id}, {"user", "alice"}, {"password", password}});
    // Written into the URL, the credentials are credentials all the same: kept in memory only.
    server.script("/u.bin", "size=6000&seed=5&auth=bob:in-the-URL");
    list.append(QJsonObject{{"url", QString::fromStdString(server.url("/u.bin")).replace("://", "://bob:in-the-URL@")},
                            {"id", "inurl"}});
    ASSERT_EQ(201, owner.client.post("/v1/downloads", {{"downloads", list}}).status);
    ASSERT_TRUE(waitUntil([&] { return events.count("", "K", "Progress") > 0; }));
    killed.stop(SIGKILL);
    QByteArray seen = QJsonDocument(owner.client.get("/v1/downloads").body).toJson();
    EXPECT_TRUE(waitUntil([&] { return events.ended({}) == 4; }));
    EXPECT_EQ(1, events.count("", "inurl", "WasFinished"));
    EXPECT_EQ(1, events.count("", "K", "WasFinished"));
    EXPECT_EQ(1, events.count("", "right", "WasFinished"));
    EXPECT_EQ(1, events.count("", "wrong", "WasFailed"));
    // A client first hearing of a download on the stream can name it.
    EXPECT_FALSE(events.of("inurl", "State").isEmpty());
    for (const QJsonObject& state : events.of("inurl", "State"))
        EXPECT_EQ(state.value("url").toString().toStdString(), server.url("/u.bin"))
            << state.value("state").toString().toStdString();
    EXPECT_EQ(bodySha1(2000000, 8), sha1Hex(readFile(data + "download/k.bin")));
    EXPECT_TRUE(HaulProcess(data).run({"get", server.url("/n.bin?size=1000&seed=9").c_str()}).shows(0, "saved: "));
    seen += events.text() + owner.stop(SIGTERM).err;
    for (const QString& name : QDir((data + "store").c_str()).entryList(QDir::Files))
        seen += readFile(data + "store/" + name.toStdString());
    EXPECT_TRUE(seen.contains("alice") || seen.contains("p.bin"));
    EXPECT_FALSE(seen.contains("s3cret-Pa55") || seen.contains("wrong-guess") || seen.contains("in-the-URL"));
}

// 20 clients start 10 downloads each at once, beyond the owner's limit of 50: every one of the
// 200 ends exactly once, and every client's stream shows every ending once.
TEST_F(InterfaceTest, TwentyClientsStartingTenEachSeeEveryDownloadEndOnce)
{
    const int clients = 20, each = 10;
    std::vector<std::unique_ptr<EventLog>> logs;
    std::vector<std::thread> threads;
    std::atomic<int> accepted{0};
    for (int c = 0; c < clients; ++c) {
        logs.emplace_back(new EventLog(data + "haul.sock"));
        ASSERT_TRUE(logs.back()->open());
    }
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            QJsonArray list;
            for (int d = 0; d < each; ++d) {
                const QString id = QString("c%1-%2").arg(c).arg(d);
                const QString url = server.url("/" + id + QString(".bin?size=20000&seed=%1").arg(c * each + d)).c_str();
                list.append(QJsonObject{{"url", url}, {"id", id}});
            }
            accepted += ServiceClient(data + "haul.sock").post("/v1/downloads", {{"downloads", list}}).status == 201;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_EQ(clients, accepted.load());
    for (const auto& log : logs)
        EXPECT_TRUE(waitUntil([&] { return log->ended({}) >= clients * each; }, 60000));
    for (int n = 0; n < clients * each; ++n) {
        const QString id = QString("c%1-%2").arg(n / each).arg(n % each);
        for (const auto& log : logs) {
            EXPECT_EQ(1, log->ended(id)) << id.toStdString();
            EXPECT_EQ(1, log->count("", id, "WasFinished")) << id.toStdString();
        }
        EXPECT_EQ(body(20000, quint32(n)), readFile(data + "download/" + id.toStdString() + ".bin"));
    }
}

// Progress counts the whole file across a pause: from where the partial file ends when the
// server continues it, from zero when it sends the whole file again (no Range).
TEST(ProgressTest, CountsTheWholeFileAcrossAResume)
{
    Sandbox sandbox;
    ScriptServer server;
    ASSERT_TRUE(server.start());
    const std::string data = sandbox.file("data/");
    OwnerProcess owner(data);
    ASSERT_TRUE(owner.serve({"--set", "Downloader/StatusInterval=50"}));
    EventLog events(data + "haul.sock");
    ASSERT_TRUE(events.open());
    for (const QString extra : {"", "&norange=1"}) {
        SCOPED_TRACE(extra.toStdString());
        const QString id = extra.isEmpty() ? "ranged" : "whole";
        server.script("/" + id, "size=2000000&seed=3&rate=1000000" + extra);
        const QJsonArray list{QJsonObject{{"url", server.url("/" + id).c_str()}, {"id", id}}};
        ASSERT_EQ(201, owner.client.post("/v1/downloads", {{"downloads", list}}).status);
        ASSERT_TRUE(waitUntil([&] { return events.count("", id, "Progress") >= 3; }));
        ASSERT_EQ(202, owner.client.post(("/v1/downloads/" + id + "/pause").toStdString(), {}).status);
        ASSERT_TRUE(waitUntil([&] { return events.text().contains("\"paused\""); }));
        const QJsonObject paused =
            owner.client.get("/v1/downloads").body.value("downloads").toArray().last().toObject();
        const double kept = paused.value("bytes").toDouble();
        ASSERT_GT(kept, 0);
        const int before = events.count("", id, "Progress");
        ASSERT_EQ(202, owner.client.post(("/v1/downloads/" + id + "/resume").toStdString(), {}).status);
        ASSERT_TRUE(waitUntil([&] { return events.ended(id) == 1; }));
        const QList<QJsonObject> progress = events.of(id, "Progress");
        ASSERT_GT(progress.size(), before + 1);
        for (int i = before; i < progress.size(); ++i) {
            EXPECT_EQ(2000000.0, progress[i].value("size").toDouble());
            if (extra.isEmpty()) {
                EXPECT_GE(progress[i].value("bytes").toDouble(), kept);
            }
            EXPECT_EQ(progress[i].value("bytes").toDouble() - progress[i].value("currentBytes").toDouble(),
                      extra.isEmpty() ? kept : 0.0);
        }
        EXPECT_EQ(bodySha1(2000000, 3), sha1Hex(readFile(data + "download/" + id.toStdString())));
        events.clear();
    }
}

// The TCP door: its own Host and Origin, the token or the page's session, and folders confined
// to Service/AllowedDirectories (the data directory's download/ here).
TEST_F(InterfaceTest, TcpRequestsNeedTheirHostAndTokenAndStayInTheAllowedFolders)
{
    const QRegularExpression address("http://127\\.0\\.0\\.1:(\\d+)/"); // printed when it listens
    QByteArray port;
    ASSERT_TRUE(waitUntil([&] { return !(port = address.match(owner.errorSoFar()).captured(1).toUtf8()).isEmpty(); }))
        << owner.errorSoFar().toStdString();
    const quint16 tcp = port.toUShort();
    EXPECT_EQ(onlyForTheUser, QFileInfo((data + "token").c_str()).permissions());
    const QByteArray token = readFile(data + "token").trimmed();
    ASSERT_EQ(64, token.size());
    const QByteArray host = "Host: 127.0.0.1:" + port + "\r\n", bearer = "Authorization: Bearer " + token + "\r\n";
    const QByteArray start = "{\"downloads\":[{\"url\":\"" + QByteArray(server.url("/t.bin?size=10").c_str());
    const std::vector<std::tuple<QByteArray, int>> cases = {
        {httpRequest("GET", "/v1/downloads", host), 401},
        {httpRequest("GET", "/v1/downloads", host + "Authorization: Bearer " + QByteArray(64, '0') + "\r\n"), 401},
        {httpRequest("GET", "/v1/downloads", host + "Authorization: Bearer " + token.left(63) + "\r\n"), 401},
        // In a query only where no header can be sent: the event stream.
        {httpRequest("GET", "/v1/downloads?token=" + token, host), 401},
        {httpRequest("POST", "/v1/downloads?token=" + token, host + "Content-Type: text/plain\r\n", start + "\"}]}"),
         401},
        {httpRequest("GET", "/v1/downloads?token=" + token, "Host: evil.example:" + port + "\r\n"), 403},
        {httpRequest("GET", "/v1/downloads", bearer), 400},
        {httpRequest("GET", "/v1/downloads", host + "Host: evil.example\r\n" + bearer), 400},
        {httpRequest("GET", "/v1/downloads", host + bearer + "Origin: http://evil.example\r\n"), 403},
        {httpRequest("GET", "/v1/downloads", host + bearer + "Origin: null\r\n"), 403},
        {httpRequest("GET", "/v1/downloads", host + bearer + "Origin: http://127.0.0.1:" + port + "\r\n"), 200},
        {httpRequest("GET", "/v1/downloads", "Host: LocalHost:" + port + "\r\n" + bearer), 200},
        {httpRequest("POST", "/v1/page-link", host + bearer), 403},
        {httpRequest("POST", "/v1/downloads", host + bearer, start + "\",\"dir\":\"/etc/haul-test\"}]}"), 403},
        {httpRequest("POST", "/v1/downloads", host + bearer,
                     start + "\",\"dir\":\"" + QByteArray(data.c_str()) + "download/../escaped\"}]}"),
         403},
        {httpRequest("POST", "/v1/downloads", host + bearer,
                     start + "\",\"dir\":\"" + QByteArray(data.c_str()) + "download/sub\",\"id\":\"in\"}]}"),
         201},
        {httpRequest("POST", "/v1/downloads", host + bearer, start + "\",\"id\":\"plain\"}]}"), 201},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::get<0>(c).left(200).toStdString());
        const Answer answer = overTcp(tcp, std::get<0>(c));
        EXPECT_EQ(std::get<1>(c), answer.status) << answer.body.data();
        EXPECT_TRUE(answer.head.contains("Cache-Control: no-store") && answer.head.contains("nosniff"));
        if (answer.status == 403 && answer.body.contains("dir")) {
            EXPECT_TRUE(answer.body.contains("Service/AllowedDirectories")) << answer.body.data();
        }
    }
    EXPECT_FALSE(QFileInfo::exists("/etc/haul-test"));
    EXPECT_FALSE(QFileInfo::exists((data + "escaped").c_str()));
    EXPECT_TRUE(
        waitUntil([&] { return fileExists(data + "download/sub/t.bin") && fileExists(data + "download/t.bin"); }));

    // The page's link: a code good once, traded for a cookie that serves instead of the token.
    const ServiceClient::Answer link = owner.client.post("/v1/page-link", QJsonObject());
    ASSERT_EQ(200, link.status);
    const QString url = link.body.value("url").toString();
    ASSERT_TRUE(url.startsWith("http://127.0.0.1:" + port + "/#code=")) << url.toStdString();
    const QByteArray code = url.section("#code=", 1).toUtf8();
    const auto trade = [&](const QByteArray& offer) {
        return overTcp(tcp, httpRequest("POST", "/v1/session", host + "Content-Type: application/json\r\n", offer));
    };
    const Answer traded = trade("{\"code\":\"" + code + "\"}");
    ASSERT_EQ(204, traded.status);
    const QRegularExpression cookie("Set-Cookie: (haul_session_" + port +
                                    "=[0-9a-f]{64}); HttpOnly; SameSite=Strict; Path=/");
    const QString session = cookie.match(traded.head).captured(1);
    ASSERT_FALSE(session.isEmpty()) << traded.head.data();
    EXPECT_EQ(401, trade("{\"code\":\"" + code + "\"}").status) << "a code works once";
    EXPECT_EQ(401, trade("{\"code\":\"" + QByteArray(64, '0') + "\"}").status);
    EXPECT_EQ(204, trade("{\"token\":\"" + token + "\"}").status);
    EXPECT_EQ(
        200,
        overTcp(tcp, httpRequest("GET", "/v1/downloads", host + "Cookie: a=b; " + session.toUtf8() + "\r\n")).status);
    EXPECT_EQ(401,
              overTcp(tcp, httpRequest("GET", "/v1/downloads", host + "Cookie: " + session.toUtf8() + "0\r\n")).status);

    // An EventSource cannot set headers: the token in the query opens the stream.
    QTcpSocket stream;
    stream.connectToHost("127.0.0.1", tcp);
    ASSERT_TRUE(stream.waitForConnected(5000));
    stream.write("GET /v1/events?token=" + token + " HTTP/1.1\r\n" + host + "\r\n");
    ASSERT_TRUE(stream.waitForReadyRead(5000));
    EXPECT_TRUE(stream.readAll().startsWith("HTTP/1.1 200 OK\r\n"));
}

TEST(ServeOptionsTest, ListenAddressesOtherThanLoopbackNeedAllowRemote)
{
    Sandbox sandbox;
    for (const auto& c : std::vector<std::pair<QStringList, const char*>>{
             {{"--listen", "0.0.0.0:0"}, "is not a loopback address"},
             {{"--listen", "127.0.0.1"}, "--listen needs ADDRESS:PORT"},
             {{"--listen", "example.org:80"}, "--listen needs ADDRESS:PORT"},
             {{"--log-level", "loud"}, "--log-level takes"}}) {
        SCOPED_TRACE(c.first.join(' ').toStdString());
        EXPECT_TRUE(HaulProcess(sandbox.file("data/")).run(QStringList{"serve"} + c.first).shows(2, c.second));
    }
}

// Names a TCP request may give besides the address: the machine's by default, those asked for
// with --listen-host instead; an IPv6 address is written in brackets.
TEST(ServeOptionsTest, HostNamesOfTheInterfaceAndIpv6InBrackets)
{
    Sandbox sandbox;
    char name[256] = {};
    ASSERT_EQ(0, ::gethostname(name, sizeof name - 1));
    for (const auto& [extra, accepted] : std::vector<std::pair<QStringList, QByteArray>>{
             {{}, QByteArray(name)},
             {{"--listen-host", "Files.Example", "--listen-host", "b.example"}, "files.example"}}) {
        OwnerProcess owner(sandbox.file("data/"));
        ASSERT_TRUE(owner.serve(QStringList{"--listen", "127.0.0.1:0"} + extra));
        const QRegularExpression address("http://127\\.0\\.0\\.1:(\\d+)/");
        QByteArray port;
        ASSERT_TRUE(
            waitUntil([&] { return !(port = address.match(owner.errorSoFar()).captured(1).toUtf8()).isEmpty(); }));
        const QByteArray bearer = "Authorization: Bearer " + readFile(sandbox.file("data/token")).trimmed() + "\r\n";
        for (const auto& [host, status] : std::vector<std::pair<QByteArray, int>>{
                 {accepted, 200}, {"127.0.0.1", 200}, {"evil.example", 403}, {accepted + ".evil.example", 403}})
            EXPECT_EQ(status, overTcp(port.toUShort(), httpRequest("GET", "/v1/downloads",
                                                                   "Host: " + host + ":" + port + "\r\n" + bearer))
                                  .status)
                << host.data();
    }
    OwnerProcess six(sandbox.file("six/"));
    ASSERT_TRUE(six.serve({"--listen", "[::1]:0"}));
    EXPECT_TRUE(waitUntil([&] { return six.errorSoFar().contains(" and http://[::1]:"); })) << six.errorSoFar().data();
}

} // namespace
