#include "Configuration.h"
#include "TransferFixture.h"

TEST_F(TransferTest, FiveRedirectsAreFollowedAndTheirBodiesDropped)
{
    const QByteArray content = body(50000, 7);
    Route target;
    target.body = content;
    server.route("/final.bin", target);
    server.redirectChain("/r5", 5, "/final.bin");
    startComponent();
    const auto reply = download("r5", url("/r5"), inFolder(), sha1Hex(content));
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    // Named after the URL the client asked for, not the one that answered.
    EXPECT_EQ(inFolder() + "/r5", textOf(reply));
    EXPECT_EQ(content, readAll(textOf(reply)));
    EXPECT_EQ(6, requestedPaths().size());
}

TEST_F(TransferTest, SixthRedirectEndsTheTransferWithoutACode)
{
    Route target;
    target.body = "never";
    server.route("/final.bin", target);
    server.redirectChain("/r6", 6, "/final.bin");
    startComponent();
    const auto reply = download("r6", url("/r6"));
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_EQ(511, codeOf(reply));
    EXPECT_EQ("Download failed: MAX Number of redirection reached.", textOf(reply));
    // Five hops followed; the sixth answer ends it before the final path is asked for.
    EXPECT_EQ(6, requestedPaths().size());
    EXPECT_FALSE(requestedPaths().contains("/final.bin"));
}

TEST_F(TransferTest, RedirectToHttpsWithoutDataDirectoryFailsWithTheExceptionLines)
{
    Route hop;
    hop.status = 302;
    hop.redirectTo = "https://127.0.0.1:9/secure.bin";
    server.route("/tls-hop", hop);
    startComponent();
    Configuration::instance().unset("Directories/DataPath");
    const auto reply = download("rx", url("/tls-hop"), inFolder());
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFailed", reply->getMessageType());
    EXPECT_EQ(260, codeOf(reply));
    EXPECT_EQ("Download failed: Unknown exception caught.", textOf(reply));
    EXPECT_EQ((std::vector<std::string>{"DOWNLOADER: ERROR: Uknown exception caught.", "Error retrieving Data Path"}),
              logTexts());
}
