// What a transfer takes from its host: trust for TLS, the proxy, progress reports, and the
// texts it must not take at their word (server file names, configuration numbers).
#include "ComponentFixture.h"
#include "ConfigNumber.h"
#include "Configuration.h"
#include "ContentDisposition.h"
#include "DispatcherFilterGuard.h"
#include "MessageBus.h"
#include "ProgressReportPayload.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QTimer>
#include <set>
#include <thread>

namespace {

TEST_F(ComponentTest, TlsTrustComesOnlyFromCertificatesUnderTheDataDirectory)
{
    ScriptServer tls;
    ASSERT_TRUE(tls.startTls(sandbox.file("pki")));
    const std::string url = tls.url("/s.bin?size=40000&seed=11");
    const auto trust = [&](const std::string& relative) {
        writeFile(dataPath + "cert/" + relative, readFile(sandbox.file("pki/ca.crt")));
    };
    const std::string untrusted = "Download failed: SSL handshake failed.";
    // The request's own word stands in for the configuration's, either way.
    const auto ignoring = [&](const std::string& id, bool ignore) {
        return outcomeOf(makeMessage("Start", id, startPayload(url, in()), 0, replyTopic,
                                     std::string(R"({"ignoreSslErrors":)") + (ignore ? "true}" : "false}")));
    };
    startComponent();

    const Message refused = download("a", url, in());
    EXPECT_TRUE(isReport(refused, "WasFailed", 265, untrusted));
    EXPECT_EQ(std::make_pair(std::string("tls"), std::string("untrusted issuer")),
              std::make_pair(std::string(nameOf(causeOf(refused).network)), causeOf(refused).tlsCause));
    HaulwrightPersistedRequest record;
    persisted("a", record);
    EXPECT_EQ(std::make_pair(std::string("untrusted issuer"), 0), std::make_pair(record.tlsCause, record.httpStatus));
    trust("sub/ca.pem"); // not a .crt: not looked at
    EXPECT_TRUE(isReport(download("b", url, in()), "WasFailed", 265, untrusted));
    Configuration::instance().set("General/security/IgnoreSslErrors", "Yes"); // only the exact word counts
    EXPECT_TRUE(isReport(download("c", url, in()), "WasFailed", 265, untrusted));
    EXPECT_TRUE(isReport(ignoring("c2", true), "WasFinished", 0, in("s.bin")));
    Configuration::instance().set("General/security/IgnoreSslErrors", "yes");
    EXPECT_TRUE(isReport(ignoring("d2", false), "WasFailed", 265, untrusted));
    EXPECT_TRUE(isReport(download("d", url, in()), "WasFinished", 0, in("s_2.bin")));
    Configuration::instance().unset("General/security/IgnoreSslErrors");
    trust("sub/ca.CRT");
    EXPECT_TRUE(isReport(download("e", url, in()), "WasFinished", 0, in("s_3.bin")));
    EXPECT_EQ(body(40000, 11), readFile(in("s_3.bin")));

    tls.clearRequests();
    Configuration::instance().unset("Directories/DataPath");
    EXPECT_TRUE(isReport(download("f", url, in()), "WasFailed", 0,
                         "Download failed due to an error in configuration. Check log for details."));
    EXPECT_TRUE(partialFiles().isEmpty());
    EXPECT_TRUE(tls.requests().isEmpty());
}

// Transfers one after another share idle connections, but never across a certificate policy
// (a connection whose errors one ignored would carry a strict one past its check) nor with a
// transfer that had credentials (its manager would offer them to the next one's challenge).
TEST_F(ComponentTest, IdleConnectionsAreSharedOnlyBetweenTransfersThatMayShareThem)
{
    ScriptServer tls;
    ASSERT_TRUE(tls.startTls(sandbox.file("pki")));
    const std::string secure = tls.url("/k.bin?size=3000&seed=5&keep=1");
    const std::string guarded = server.url("/g.bin?body=secret&auth=ann:pw&keep=1");
    const auto ignoring = [&](const std::string& id) {
        return outcomeOf(
            makeMessage("Start", id, startPayload(secure, in()), 0, replyTopic, R"({"ignoreSslErrors":true})"));
    };
    startComponent();
    // Which thread takes a transfer is the bus's choice: enough rounds that some follow each other.
    for (int round = 0; round < 12; ++round) {
        const std::string n = std::to_string(round);
        const Message ignored = ignoring("i" + n);
        EXPECT_TRUE(isReport(ignored, "WasFinished", 0, textOf(ignored)));
        EXPECT_EQ(265, codeOf(download("s" + n, secure, in())));
    }
    for (int round = 0; round < 6; ++round) {
        const std::string n = std::to_string(round);
        const Message given = download("a" + n, guarded, in(), "", "ann", "pw");
        EXPECT_TRUE(isReport(given, "WasFinished", 0, textOf(given)));
        server.clearRequests();
        EXPECT_EQ(264, codeOf(download("n" + n, guarded, in())));
        for (const Request& request : server.requests())
            EXPECT_FALSE(request.has("Authorization"));
    }
    // The ignoring transfers did share: fewer connections than requests.
    std::set<int> connections;
    for (const Request& request : tls.requests())
        if (request.path == "/k.bin")
            connections.insert(request.connection);
    EXPECT_LT(connections.size(), 12u);
}

TEST_F(ComponentTest, HttpProxyFromTheHostCarriesTheAbsoluteRequest)
{
    // The origin does not exist: only the proxy (our server) can answer.
    const std::string origin = "http://127.0.0.1:9/p.txt?body=proxied";
    Configuration::instance().set("Proxy/Host", "127.0.0.1");
    Configuration::instance().set("Proxy/Port", std::to_string(server.port()));
    startComponent();
    for (const char* type : {"3", "9"}) {
        SCOPED_TRACE(type);
        Configuration::instance().set("Proxy/Type", type);
        server.clearRequests();
        const Message reply = download(std::string("via") + type, origin, in());
        EXPECT_EQ("WasFinished", reply->getMessageType());
        EXPECT_EQ("proxied", readFile(textOf(reply)));
        EXPECT_EQ(QByteArray::fromStdString(origin), server.requests().value(0).target);
    }
    // Type 2 means no proxy: the request goes to the absent origin.
    Configuration::instance().set("Proxy/Type", "2");
    server.clearRequests();
    const Message direct = download("direct", origin, in());
    EXPECT_EQ("WasFailed", direct->getMessageType());
    EXPECT_STREQ("refused", nameOf(causeOf(direct).network));
    EXPECT_TRUE(server.requests().isEmpty());

    // A request's own proxy stands in for the host's, either way.
    const std::string viaServer = R"({"proxy":"http://127.0.0.1:)" + std::to_string(server.port()) + R"("})";
    const Message proxied =
        outcomeOf(makeMessage("Start", "own", startPayload(origin, in()), 0, replyTopic, viaServer));
    EXPECT_EQ("WasFinished", proxied->getMessageType());
    EXPECT_EQ(QByteArray::fromStdString(origin), server.requests().value(0).target);
    Configuration::instance().set("Proxy/Type", "3");
    server.clearRequests();
    const Message none =
        outcomeOf(makeMessage("Start", "none", startPayload(origin, in()), 0, replyTopic, R"({"proxy":"none"})"));
    EXPECT_EQ("WasFailed", none->getMessageType());
    EXPECT_TRUE(server.requests().isEmpty());
}

class ProgressTest : public ComponentTest
{
protected:
    void SetUp() override
    {
        ComponentTest::SetUp();
        MessageBus::instance().subscribe(&progress, "event://Client/Service/DownloadStatus/*");
    }
    void TearDown() override
    {
        MessageBus::instance().unsubscribe(&progress, "");
        ComponentTest::TearDown();
    }
    MessageCollector progress;
};

TEST_F(ProgressTest, ReportsAreThrottledAndCarryBytesTotalsAndRate)
{
    Configuration::instance().set("Downloader/StatusInterval", "100");
    startComponent();
    // Without a length (none announced, or a chunked body) the total is unknown: 0.
    for (const auto& [session, query, total] : std::vector<std::tuple<std::string, std::string, std::uint64_t>>{
             {"known", "", 400000}, {"nolen", "&nolen=1", 0}, {"chunked", "&chunked=1", 0}}) {
        SCOPED_TRACE(session);
        progress.clear();
        const std::string url =
            server.url(QString::fromStdString("/" + session + "?size=400000&seed=9&rate=400000" + query));
        ASSERT_EQ("WasFinished", download(session, url, in())->getMessageType());
        const auto reports = progress.messages();
        // About one second of transfer at one report per 100 ms.
        ASSERT_GE(reports.size(), 3u);
        EXPECT_LE(reports.size(), 15u);
        std::uint64_t previous = 0;
        for (const Message& message : reports) {
            EXPECT_EQ("Progress", message->getMessageType());
            EXPECT_EQ("event://Client/Service/DownloadStatus/" + session, message->getTopic());
            EXPECT_EQ(1, message->getPriority());
            EXPECT_EQ(session, message->getSessionId().getValue());
            const auto& report = dynamic_cast<const ProgressReportPayload&>(*message->getPayload());
            EXPECT_EQ(total, report.getTotalBytes());
            EXPECT_GT(report.getCurrentBytes(), previous);
            EXPECT_LE(report.getCurrentBytes(), 400000u);
            EXPECT_GT(report.getBytesPerSecond(), 100000u);
            EXPECT_LT(report.getBytesPerSecond(), 2000000u);
            previous = report.getCurrentBytes();
        }
    }
}

TEST_F(ProgressTest, NoReportsWhenTurnedOffAndARefusedOneIsLoggedEachTime)
{
    Configuration::instance().set("Downloader/StatusInterval", "0");
    startComponent();
    EXPECT_EQ("WasFinished", download("off", server.url("/a?size=200000&rate=400000"), in())->getMessageType());
    EXPECT_TRUE(progress.messages().empty());
    Configuration::instance().set("Downloader/StatusInterval", "20");

    MessageBus::instance().setPostFilter([](const LocalMessage& m) { return m.getMessageType() != "Progress"; });
    EXPECT_EQ("WasFinished", download("refused", server.url("/c?size=300000&rate=400000"), in())->getMessageType());
    const std::vector<std::string> texts = logTexts();
    EXPECT_GE(texts.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(texts.size(), "DOWNLOADER: ERROR: Could not post message."), texts);
    EXPECT_TRUE(progress.messages().empty());
}

TEST(ServerNameTest, NamesCannotLeaveTheDestinationFolder)
{
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"attachment; filename=report.pdf", "report.pdf"},
        {"attachment; filename=\"report.pdf\"", "report.pdf"},
        {"inline", ""},
        {"attachment; filename=\"../../etc/passwd\"", "passwd"},
        {"attachment; filename=..\\..\\evil.exe", "evil.exe"},
        {"attachment; filename=\"/tmp/\"", ""},
        {"attachment; filename=..", ""},
        {"attachment; filename=\".\"", ""},
        {std::string("attachment; filename=a\x01\x1f\x7f") + "b.txt", "ab.txt"},
        {"attachment; filename=\"plain.pdf\"; filename*=UTF-8''r%C3%A9sum%C3%A9%201.pdf", "r\xc3\xa9sum\xc3\xa9 1.pdf"},
        {"attachment; filename*=utf-8''..%2F..%2Fx.bin", "x.bin"},
        {"attachment; filename*=KOI8-R''abc; filename=plain.pdf", "plain.pdf"}, // unreadable: the plain name
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.second, serverFilenameFromDisposition(row.first)) << row.first;
    // A hostile server's long header costs time in proportion to it: many unreadable extended
    // names, or one longer than any file system takes (the URL then names the file).
    std::string many;
    while (many.size() < 16000)
        many += "filename*=x''y ";
    EXPECT_EQ("z", serverFilenameFromDisposition(many + "; filename=z"));
    EXPECT_EQ("", serverFilenameFromDisposition("attachment; filename=" + std::string(1 << 20, 'a')));
}

TEST(DispatcherFilterGuardTest, BracketsTheLoopOnItsThreadAndLetsEventsThrough)
{
    QEventLoop loop; // gives this thread a dispatcher
    {
        DispatcherFilterGuard guard;
        EXPECT_TRUE(DispatcherFilterGuard::isInstalledHere());
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec(); // returns only if the timer's event got through
    }
    EXPECT_FALSE(DispatcherFilterGuard::isInstalledHere());
    std::thread([] { // no dispatcher: nothing to install
        DispatcherFilterGuard guard;
        EXPECT_FALSE(DispatcherFilterGuard::isInstalledHere());
    })
        .join();
}

TEST(ConfigNumberTest, TextsThatAreNoNumberOfTheTypeFallBack)
{
    EXPECT_EQ(250u, configNumber<quint32>("250", 7));
    for (const char* text : {"-1", "4294967296", " 5", "1e3", ""})
        EXPECT_EQ(7u, configNumber<quint32>(text, 7)) << text;
    EXPECT_EQ(-3, configNumber<qint32>("-3", 7));
    EXPECT_EQ(0u, maxDownloadsFromText("0", 50));
    EXPECT_EQ(50u, maxDownloadsFromText("zero", 50));
}

} // namespace
