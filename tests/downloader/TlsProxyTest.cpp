#include "Configuration.h"
#include "TestCertificates.h"
#include "TransferFixture.h"

#include <QDir>
#include <QFile>

namespace {

// A second server speaking TLS with a CA made for this test only.
class TlsTest : public TransferTest
{
protected:
    void SetUp() override
    {
        TransferTest::SetUp();
        certFolder = sandbox.path() + "/pki";
        QDir().mkpath(certFolder);
        ASSERT_TRUE(certificates.create(certFolder)) << certificates.errorString().toStdString();
        ASSERT_TRUE(tlsServer.startTls(certificates));
        content = body(40000, 11);
        Route route;
        route.body = content;
        tlsServer.route("/s.bin", route);
        QDir().mkpath(QString::fromStdString(dataPath + "cert/sub"));
    }
    void TearDown() override
    {
        TransferTest::TearDown();
        tlsServer.stop();
    }
    void trustCa(const std::string& relative)
    {
        ASSERT_TRUE(QFile::copy(certificates.caCertPath(), QString::fromStdString(dataPath + "cert/" + relative)));
    }
    std::string secureUrl() const { return tlsServer.url("/s.bin").toStdString(); }

    QString certFolder;
    TestCertificates certificates;
    TestHttpServer tlsServer;
    QByteArray content;
};

} // namespace

TEST_F(TlsTest, TrustedOnlyThroughCertificatesUnderTheDataDirectory)
{
    startComponent();
    auto reply = download("untrusted", secureUrl(), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_EQ(265, codeOf(reply));
    EXPECT_EQ("Download failed: SSL handshake failed.", textOf(reply));

    // A .pem file is not looked at; a .CRT in a subfolder is.
    trustCa("sub/ca.pem");
    reply = download("pem", secureUrl(), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ(265, codeOf(reply));

    trustCa("sub/ca.CRT");
    reply = download("trusted", secureUrl(), inFolder(), sha1Hex(content));
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    EXPECT_EQ(content, readAll(textOf(reply)));
}

TEST_F(TlsTest, IgnoreSslErrorsOnlyForTheExactWordYes)
{
    startComponent();
    Configuration::instance().set("General/security/IgnoreSslErrors", "Yes");
    auto reply = download("capital", secureUrl(), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ(265, codeOf(reply));

    Configuration::instance().set("General/security/IgnoreSslErrors", "yes");
    reply = download("yes", secureUrl(), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
}

TEST_F(TlsTest, MissingDataDirectoryIsAConfigurationFailureWithNoFileLeft)
{
    startComponent();
    Configuration::instance().unset("Directories/DataPath");
    const auto reply = download("nodata", secureUrl(), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_EQ(0, codeOf(reply));
    EXPECT_EQ("Download failed due to an error in configuration. Check log for details.", textOf(reply));
    EXPECT_TRUE(partialFiles().isEmpty());
    EXPECT_TRUE(tlsServer.requests().isEmpty());
}

TEST_F(TransferTest, HttpProxyFromTheHostCarriesTheAbsoluteRequest)
{
    TestHttpServer proxy;
    ASSERT_TRUE(proxy.start());
    Route route;
    route.body = "through the proxy";
    proxy.route("/p.txt", route);
    // The origin does not exist: only the proxy can answer.
    const std::string origin = "http://127.0.0.1:9/p.txt";
    for (const char* type : {"3", "9"}) {
        Configuration::instance().set("Proxy/Host", "127.0.0.1");
        Configuration::instance().set("Proxy/Port", std::to_string(proxy.port()));
        Configuration::instance().set("Proxy/Type", type);
        if (!component)
            startComponent();
        proxy.clearRequests();
        const auto reply = download(std::string("proxy") + type, origin, inFolder());
        ASSERT_TRUE(reply) << type;
        EXPECT_EQ("WasFinished", reply->getMessageType()) << type;
        EXPECT_EQ("through the proxy", readAll(textOf(reply)));
        ASSERT_EQ(1, proxy.requests().size());
        EXPECT_EQ(QByteArray("http://127.0.0.1:9/p.txt"), proxy.requests().at(0).target);
    }
    // Type 2 means no proxy: the request goes to the (absent) origin and fails.
    Configuration::instance().set("Proxy/Type", "2");
    proxy.clearRequests();
    const auto reply = download("direct", origin, inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_TRUE(proxy.requests().isEmpty());
    proxy.stop();
}
