// Faults of the server and the connection: every one ends in one exact report, and the
// persisted record survives so that a Resume can finish the file.
#include "Configuration.h"
#include "FaultFixture.h"
#include "TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <atomic>
#include <thread>

namespace {

// Accepts TCP connections on 127.0.0.1 and closes each at once, before a TLS handshake can end.
class ClosingListener
{
public:
    ClosingListener()
    {
        std::atomic<bool> ready{false};
        worker = std::thread([this, &ready] {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost, 0);
            port = server.serverPort();
            ready = true;
            while (!stopping) {
                if (!server.waitForNewConnection(50))
                    continue;
                while (QTcpSocket* socket = server.nextPendingConnection()) {
                    ++accepted;
                    socket->waitForReadyRead(2000); // the ClientHello
                    socket->abort();
                    delete socket;
                }
            }
        });
        while (!ready)
            std::this_thread::yield();
    }
    ~ClosingListener()
    {
        stopping = true;
        worker.join();
    }

    quint16 port = 0;
    std::atomic<int> accepted{0};

private:
    std::atomic<bool> stopping{false};
    std::thread worker;
};

} // namespace

TEST_F(FaultTest, ConnectionResetMidBodyKeepsTheRecordAndAResumeFinishesTheFile)
{
    const qint64 size = 600000;
    Route reset = generated(size, 21);
    reset.cutAfterBytes = 20000; // larger cuts hang the test server (its flush inside bytesWritten)
    reset.resetMidBody = true;
    server.route("/reset.bin", reset);
    startComponent();

    auto reply = download("reset", url("/reset.bin"), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    // Which of the two depends on whether the network library saw the reset as an error.
    EXPECT_TRUE(isReport(reply, "WasFailed", 260, "Connection closed") ||
                isReport(reply, "WasFailed", 259, "Download failed: Connection closed prematurely."))
        << isReport(reply, "WasFailed", 260, "Connection closed").message();
    EXPECT_EQ(inFolder(), recordedPartial("reset").substr(0, inFolder().size())) << "record lost";

    server.route("/reset.bin", generated(size, 21));
    reply = resume("reset");
    EXPECT_TRUE(isReport(reply, "WasFinished", 0, inFolder() + "/reset.bin"));
    EXPECT_EQ(body(size, 21), readAll(inFolder() + "/reset.bin"));
    EXPECT_EQ("", recordedPartial("reset"));
    EXPECT_TRUE(partialFiles().isEmpty());
}

// Fails in most runs today: when the network library reports the reset as an error (about 9
// runs in 10) the client gets 260 "Connection closed" and the partial file is deleted, so the
// resume fetches everything again; otherwise it gets 259 and the beginning is kept. A reset is
// a transfer cut short like a clean close and should end the same way. See the fault report.
TEST_F(FaultTest, ConnectionResetMidBodyIsReportedAsCutShortAndKeepsItsBeginning)
{
    const qint64 size = 600000;
    Route reset = generated(size, 22);
    reset.cutAfterBytes = 20000;
    reset.resetMidBody = true;
    server.route("/kept.bin", reset);
    startComponent();

    const auto reply = download("kept", url("/kept.bin"), inFolder());
    EXPECT_TRUE(isReport(reply, "WasFailed", 259, "Download failed: Connection closed prematurely."));
    const std::string partial = recordedPartial("kept");
    const QByteArray kept = readAll(partial);
    EXPECT_GT(kept.size(), 0) << "partial file " << partial << " lost";
    EXPECT_EQ(body(kept.size(), 22), kept);

    server.route("/kept.bin", generated(size, 22));
    server.clearRequests();
    EXPECT_TRUE(isReport(resume("kept"), "WasFinished", 0, inFolder() + "/kept.bin"));
    EXPECT_EQ(body(size, 22), readAll(inFolder() + "/kept.bin"));
    EXPECT_EQ("bytes=" + QByteArray::number(kept.size()) + "-", server.requests().value(0).header("Range"));
}

TEST_F(FaultTest, ServerStallingAfterTheHeadersTimesOutAndAResumeFinishesTheFile)
{
    Configuration::instance().set("Downloader/RequestTimeout", "300");
    Route stall = generated(50000, 23);
    stall.stallAfterHeadersMs = -1;
    server.route("/stall.bin", stall);
    startComponent();

    auto reply = download("stall", url("/stall.bin"), inFolder(), "", 20000);
    EXPECT_TRUE(isReport(reply, "WasFailed", 273, "No response from the endpoint - timeout occurred"));
    EXPECT_NE("", recordedPartial("stall")) << "record lost";

    server.route("/stall.bin", generated(50000, 23));
    reply = resume("stall");
    EXPECT_TRUE(isReport(reply, "WasFinished", 0, inFolder() + "/stall.bin"));
    EXPECT_EQ(body(50000, 23), readAll(inFolder() + "/stall.bin"));
}

TEST_F(FaultTest, BodyLongerThanItsContentLengthIsCutAtTheAnnouncedLength)
{
    const QByteArray sent = body(3000, 24);
    Route longer;
    longer.body = sent;
    longer.announcedLength = 1000;
    server.route("/long.bin", longer);
    startComponent();

    auto reply = download("long", url("/long.bin"), inFolder());
    EXPECT_TRUE(isReport(reply, "WasFinished", 0, inFolder() + "/long.bin"));
    EXPECT_EQ(sent.left(1000), readAll(inFolder() + "/long.bin"));
    EXPECT_EQ("", recordedPartial("long"));

    // The bytes past the announced length never reach the file, so the digest of all of them fails.
    reply = download("long-digest", url("/long.bin"), inFolder(), sha1Hex(sent));
    EXPECT_TRUE(isReport(reply, "WasFailed", 274, "Digest verification failed"));
    EXPECT_NE("", recordedPartial("long-digest"));
    EXPECT_TRUE(partialFiles().isEmpty());
}

// The 259 half fails in most runs today: the network library ends such a reply either with
// an error (260 "Connection closed", partial file deleted) or without one (259, kept), by
// timing. The lengths are never confirmed either way, so no file is ever saved.
TEST_F(FaultTest, LengthAbove4GiBOnAShortBodyIsNeverCompleteAndEndsCutShort)
{
    startComponent();
    // 2^32 + 1000 would pass a size check cut to 32 bits on a 1000-byte file.
    for (const qint64 announced : {(qint64(1) << 32) + 1000, qint64(5) << 30}) {
        SCOPED_TRACE(announced);
        Route huge;
        huge.body = body(1000, 25);
        huge.announcedLength = announced;
        server.route("/huge.bin", huge);
        const std::string session = "huge" + std::to_string(announced);
        const auto reply = download(session, url("/huge.bin"), inFolder());
        ASSERT_TRUE(reply);
        EXPECT_EQ("WasFailed", reply->getMessageType());
        EXPECT_FALSE(QFile::exists(QString::fromStdString(inFolder() + "/huge.bin")));
        EXPECT_NE("", recordedPartial(session)) << "record lost";
        EXPECT_TRUE(isReport(reply, "WasFailed", 259, "Download failed: Connection closed prematurely."));
        EXPECT_EQ(body(1000, 25), readAll(recordedPartial(session)));
    }
}

TEST_F(FaultTest, MebibyteOfHeadersIsReadAndTheFileSaved)
{
    Route heavy;
    heavy.body = "small";
    heavy.largeHeaderBytes = 1024 * 1024;
    server.route("/heavy.bin", heavy);
    startComponent();

    const auto reply = download("heavy", url("/heavy.bin"), inFolder());
    EXPECT_TRUE(isReport(reply, "WasFinished", 0, inFolder() + "/heavy.bin"));
    EXPECT_EQ("small", readAll(inFolder() + "/heavy.bin"));
    EXPECT_EQ("", recordedPartial("heavy"));
}

TEST_F(FaultTest, RedirectLoopStopsAfterFiveRedirects)
{
    Route toB;
    toB.status = 302;
    toB.redirectTo = "/loop/b";
    server.route("/loop/a", toB);
    Route toA;
    toA.status = 302;
    toA.redirectTo = "/loop/a";
    server.route("/loop/b", toA);
    startComponent();

    const auto reply = download("loop", url("/loop/a"), inFolder());
    EXPECT_TRUE(isReport(reply, "WasFailed", 511, "Download failed: MAX Number of redirection reached."));
    EXPECT_EQ(6, server.requests().size()); // the first request and five redirects followed
    EXPECT_NE("", recordedPartial("loop"));
    EXPECT_TRUE(partialFiles().isEmpty());
}

TEST_F(FaultTest, TlsServerClosingDuringTheHandshakeFailsAndKeepsTheRecord)
{
    TestCertificates certificates;
    const QString pki = sandbox.path() + "/pki";
    QDir().mkpath(pki);
    ASSERT_TRUE(certificates.create(pki)) << certificates.errorString().toStdString();
    QDir().mkpath(QString::fromStdString(dataPath + "cert"));
    ASSERT_TRUE(QFile::copy(certificates.caCertPath(), QString::fromStdString(dataPath + "cert/ca.crt")));
    ClosingListener listener;
    startComponent();

    const std::string address = "https://127.0.0.1:" + std::to_string(listener.port) + "/f.bin";
    const auto reply = download("tls", address, inFolder());
    // The network library reports a close during the handshake as a closed connection, not as
    // a failed handshake, so the client gets the library's text with 260.
    EXPECT_TRUE(isReport(reply, "WasFailed", 260, "Connection closed"));
    EXPECT_GE(listener.accepted.load(), 1);
    EXPECT_EQ(address, [this] {
        HaulwrightPersistedRequest record;
        return persisted("tls", record) ? record.url : std::string();
    }());
    EXPECT_TRUE(partialFiles().isEmpty());
}
