#include "ComponentFixture.h"
#include "IXMLTool.h"

#include <QFile>
#include <memory>
#include <sqlite3.h>

namespace {

HaulwrightPersistedRequest sample()
{
    return HaulwrightPersistedRequest{"/tmp/in <&> \"q\" 'a'", "http://h/a?x=1&y=<2>", "ABCDEF", "/tmp/p\nq\xc3\xa9.part"};
}

void expectSame(const HaulwrightPersistedRequest& a, const HaulwrightPersistedRequest& b)
{
    EXPECT_EQ(a.destinationFolder, b.destinationFolder);
    EXPECT_EQ(a.url, b.url);
    EXPECT_EQ(a.fileHash, b.fileHash);
    EXPECT_EQ(a.temporalFilename, b.temporalFilename);
}

// A second connection to the component's store file, as another program would open it.
void execSql(const std::string& file, const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(file.c_str(), &db));
    sqlite3_busy_timeout(db, 5000);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(SQLITE_OK, rc) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

} // namespace

TEST_F(ComponentTest, RecordTextHasTheRootAndFourFieldNodesInOrder)
{
    const std::string text = wrapValue(HaulwrightPersistedRequest());
    const std::unique_ptr<IXMLTool> reader(bootStrapCreate(text, boost::any(0)));
    for (const char* field : {"destinationFolder", "url", "fileHash", "temporalFilename"}) {
        const auto found = reader->find(field);
        EXPECT_TRUE(found.first) << field;
        EXPECT_EQ("", found.second);
    }
    EXPECT_EQ(0u, text.find("<HaulwrightPersistedRequest>"));
    EXPECT_LT(text.find("<destinationFolder"), text.find("<url"));
    EXPECT_LT(text.find("<url"), text.find("<fileHash"));
    EXPECT_LT(text.find("<fileHash"), text.find("<temporalFilename"));
}

TEST_F(ComponentTest, PersistedRecordsRoundTripThroughTheStoreAndSurviveARestart)
{
    startComponent();
    EXPECT_EQ(0, component->persistRequest("k1", sample()));
    EXPECT_EQ(0, component->persistRequest("k2", HaulwrightPersistedRequest()));
    destroyComponent();

    startComponent();
    HaulwrightPersistedRequest read{"x", "x", "x", "x"};
    EXPECT_EQ(0, component->readPersistedRequest("k1", read));
    expectSame(sample(), read);
    EXPECT_EQ(0, component->readPersistedRequest("k2", read));
    expectSame(HaulwrightPersistedRequest(), read);

    // A second persist under one key replaces the first.
    HaulwrightPersistedRequest changed = sample();
    changed.url = "ftp://other/file";
    EXPECT_EQ(0, component->persistRequest("k1", changed));
    EXPECT_EQ(0, component->readPersistedRequest("k1", read));
    EXPECT_EQ("ftp://other/file", read.url);
    EXPECT_TRUE(logTexts().empty());
}

TEST_F(ComponentTest, MissingKeyFailsTheReadAndLeavesTheRecordAlone)
{
    startComponent();
    HaulwrightPersistedRequest read{"d", "u", "h", "t"};
    EXPECT_EQ(1, component->readPersistedRequest("never-stored", read));
    expectSame(HaulwrightPersistedRequest{"d", "u", "h", "t"}, read);
    EXPECT_EQ(std::vector<std::string>{"HAULWRIGHT: Schema get failed. Reason: KeyValueSchema error get() due to: "
                                       "invalid key ->never-stored"},
              logTexts());
}

TEST_F(ComponentTest, StoredTextWithoutUrlNodeKeepsTheCallersUrl)
{
    startComponent();
    ASSERT_EQ(0, component->persistRequest("partial", sample()));
    execSql(storeFile, "UPDATE entries SET value = '<HaulwrightPersistedRequest><destinationFolder>d</destinationFolder>"
                       "<fileHash>h</fileHash><temporalFilename>t</temporalFilename></HaulwrightPersistedRequest>' "
                       "WHERE key = 'partial'");
    HaulwrightPersistedRequest read;
    read.url = "kept";
    EXPECT_EQ(0, component->readPersistedRequest("partial", read));
    expectSame(HaulwrightPersistedRequest{"d", "kept", "h", "t"}, read);
}

TEST_F(ComponentTest, TwoTextsUnderOneKeyFailEveryReadUntilRemoved)
{
    startComponent();
    ASSERT_EQ(0, component->persistRequest("dup", sample()));
    execSql(storeFile, "INSERT INTO entries(key, value) SELECT key, value FROM entries WHERE key = 'dup'");
    HaulwrightPersistedRequest read;
    EXPECT_EQ(1, component->readPersistedRequest("dup", read));
    EXPECT_EQ(std::vector<std::string>{"HAULWRIGHT: Schema get failed. Reason: KeyValueSchema error get() due to: "
                                       "there are more than one value for this key ->dup"},
              logTexts());
    EXPECT_EQ(0, component->removePersistedRequest("dup"));
    clearLog();
    EXPECT_EQ(1, component->readPersistedRequest("dup", read));
    EXPECT_NE(std::string::npos, logTexts().at(0).find("invalid key ->dup"));
}

TEST_F(ComponentTest, DiscardDeletesThePartialFileAndTheRecord)
{
    startComponent();
    const std::string partial = dataPath + "download/d1.part";
    QFile file(QString::fromStdString(partial));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("abc");
    file.close();
    ASSERT_EQ(0, component->persistRequest("d1", HaulwrightPersistedRequest{"", "http://h/f", "", partial}));
    EXPECT_TRUE(component->discardPersistedRequest(UUId("d1")));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(partial)));
    HaulwrightPersistedRequest read;
    EXPECT_EQ(1, component->readPersistedRequest("d1", read));

    // A record whose partial file is already gone is discarded all the same.
    ASSERT_EQ(0, component->persistRequest("d2", HaulwrightPersistedRequest{"", "http://h/f", "", partial}));
    EXPECT_TRUE(component->discardPersistedRequest(UUId("d2")));
    clearLog();
    EXPECT_FALSE(component->discardPersistedRequest(UUId("d2")));
    EXPECT_EQ(1u, logTexts().size());
}

TEST_F(ComponentTest, AbortOfAPausedDownloadDiscardsItOnceThenIsRefused)
{
    startComponent();
    const std::string partial = dataPath + "download/ab.part";
    QFile file(QString::fromStdString(partial));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_EQ(0, component->persistRequest("ab", HaulwrightPersistedRequest{"", "http://h/f", "", partial}));
    send(makeMessage("Abort", "ab"));
    auto reply = awaitReply("ab");
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasAborted", reply->getMessageType());
    EXPECT_EQ(0, codeOf(reply));
    EXPECT_EQ("Download aborted", textOf(reply));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(partial)));

    replies.clear();
    send(makeMessage("Abort", "ab"));
    reply = awaitReply("ab");
    ASSERT_TRUE(reply);
    EXPECT_EQ("DownloaderError", reply->getMessageType());
    EXPECT_EQ(272, codeOf(reply));
    EXPECT_EQ("Critical unknown error", textOf(reply));
    const auto texts = logTexts();
    EXPECT_EQ(" No file to be aborted.", texts.back());
}
