#include "FtpServer.h"
#include "GeneratedBody.h"
#include "TransferFixture.h"

#include <QDir>
#include <QFile>

TEST_F(TransferTest, FtpDownloadsWithAndWithoutCredentials)
{
    const QString served = sandbox.path() + "/ftp";
    QDir().mkpath(served);
    const QByteArray content = GeneratedBody::content(5, 0, 700000);
    ASSERT_TRUE(writeFile(served + "/pub.bin", content));

    FtpServer ftp("ftpuser", "ftppass");
    ASSERT_TRUE(ftp.start(served)) << ftp.errorString().toStdString();
    startComponent();
    const std::string address = "ftp://127.0.0.1:" + std::to_string(ftp.port()) + "/pub.bin";

    auto reply = download("ftp-anon", address, inFolder(), sha1Hex(content));
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType()) << textOf(reply);
    EXPECT_EQ(content, readAll(textOf(reply)));

    // Without a digest nothing counts as already complete: a second copy arrives.
    startRequest("ftp-user", address, inFolder(), "", "ftpuser", "ftppass");
    reply = awaitReply("ftp-user", 30000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType()) << textOf(reply);
    EXPECT_EQ(inFolder() + "/pub_2.bin", textOf(reply));
}
