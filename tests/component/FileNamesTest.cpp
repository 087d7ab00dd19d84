#include "ComponentFixture.h"
#include "Configuration.h"
#include "FileDigest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <ctime>

namespace {

void writeFile(const std::string& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

std::string sha1Of(const QByteArray& content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex().toStdString();
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

using FileNamesTest = ComponentTest;

TEST_F(FileNamesTest, TemporalNameAndPath)
{
    Haulwright& haul = startComponent();
    const std::time_t before = std::time(nullptr);
    const std::string name = haul.makeTemporalFileName(UUId("S"));
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(0u, name.find("S"));
    ASSERT_EQ(".part", name.substr(name.size() - 5));
    const long long seconds = std::stoll(name.substr(1, name.size() - 6));
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);

    EXPECT_EQ(dataPath + "download/n.part", haul.makeTemporalFilePath("n.part", ""));
    EXPECT_EQ("/in/n.part", haul.makeTemporalFilePath("n.part", "/in"));
    EXPECT_EQ("/in/n.part", haul.makeTemporalFilePath("n.part", "/in/"));
    Configuration::instance().unset("Directories/DataPath");
    EXPECT_EQ("download/n.part", haul.makeTemporalFilePath("n.part", ""));
}

TEST_F(FileNamesTest, FinalNameComesFromTheUrlPath)
{
    Haulwright& haul = startComponent();
    EXPECT_EQ("/in/a.zip", haul.makeFinalFilePath("http://h/files/a.zip?x=1#f", "/in"));
    EXPECT_EQ("/in/a b.zip", haul.makeFinalFilePath("http://h/files/a%20b.zip", "/in"));
    EXPECT_EQ("/in/download", haul.makeFinalFilePath("http://h/files/", "/in"));
    EXPECT_EQ("/in/download", haul.makeFinalFilePath("http://h", "/in"));
    EXPECT_EQ(dataPath + "download/f.bin", haul.makeFinalFilePath("ftp://h/f.bin", ""));
}

TEST_F(FileNamesTest, UniqueNamesCountFromTwoBeforeTheLastDot)
{
    Haulwright& haul = startComponent();
    const std::string dir = sandbox.path().toStdString();
    const std::string path = dir + "/a.part";
    EXPECT_EQ(path, haul.makeUniqueFilePath(path, 2));
    writeFile(path, "x");
    EXPECT_EQ(dir + "/a_2.part", haul.makeUniqueFilePath(path, 2));
    writeFile(dir + "/a_2.part", "x");
    EXPECT_EQ(dir + "/a_3.part", haul.makeUniqueFilePath(path, 2));

    writeFile(dir + "/noext", "x");
    EXPECT_EQ(dir + "/noext_2", haul.makeUniqueFilePath(dir + "/noext", 2));

    // The only dot lies in a folder name, which is never changed.
    writeFile(dir + "/my.dir/file", "x");
    EXPECT_EQ(dir + "/my.dir/file_2", haul.makeUniqueFilePath(dir + "/my.dir/file", 2));
}

TEST_F(FileNamesTest, CompletedFileIsFoundByDigestAmongCandidates)
{
    Haulwright& haul = startComponent();
    const std::string in = sandbox.path().toStdString() + "/in";
    writeFile(in + "/file.zip", "first");
    writeFile(in + "/file_2.zip", "second");
    writeFile(in + "/other.zip", "second");
    QDir().mkpath(QString::fromStdString(in + "/file_dir"));

    std::string found;
    EXPECT_TRUE(haul.findCompletedFile("http://h/x/file.zip", in, upper(sha1Of("second")), found));
    EXPECT_EQ(QFileInfo(QString::fromStdString(in + "/file_2.zip")).absoluteFilePath().toStdString(), found);

    EXPECT_FALSE(haul.findCompletedFile("http://h/x/file.zip", in, sha1Of("absent"), found));
    EXPECT_EQ(in + "/file.zip", found);
    // No digest never matches, even an empty file's.
    writeFile(in + "/file_3.zip", "");
    EXPECT_FALSE(haul.findCompletedFile("http://h/x/file.zip", in, "", found));
    EXPECT_FALSE(haul.findCompletedFile("http://h/x/file.zip", in, " " + sha1Of("second"), found));
}

TEST_F(FileNamesTest, StartOfACompleteFileIsAnsweredAtOnce)
{
    startComponent();
    const std::string in = sandbox.path().toStdString() + "/in";
    writeFile(in + "/file.zip", "first");
    writeFile(in + "/file_2.zip", "second");
    // Nothing listens here: a transfer would fail, so a WasFinished proves none ran.
    send(makeMessage("Start", "done", startPayload("http://127.0.0.1:9/file.zip", in, sha1Of("second"))));
    const auto reply = awaitReply("done");
    ASSERT_TRUE(reply);
    EXPECT_EQ("WasFinished", reply->getMessageType());
    EXPECT_EQ(0, codeOf(reply));
    EXPECT_EQ(QFileInfo(QString::fromStdString(in + "/file_2.zip")).absoluteFilePath().toStdString(), textOf(reply));
    EXPECT_EQ(0u, component->reservationCount());
    EXPECT_EQ(0u, component->activeCount());
    EXPECT_TRUE(QDir(QString::fromStdString(in)).entryList({"*.part"}, QDir::Files).isEmpty());
    HaulwrightPersistedRequest record;
    EXPECT_EQ(1, component->readPersistedRequest("done", record)); // nothing was stored
}

TEST_F(FileNamesTest, FileDigestIsLowerCaseHex)
{
    const std::string path = sandbox.path().toStdString() + "/d.bin";
    writeFile(path, QByteArray(3 * 1024 * 1024 + 17, 'q'));
    FileDigest digest;
    ASSERT_TRUE(digest.readFile(path));
    EXPECT_EQ(sha1Of(QByteArray(3 * 1024 * 1024 + 17, 'q')), digest.text());
    EXPECT_EQ(FileDigest(upper(digest.text())), digest);
    FileDigest missing("keep");
    EXPECT_FALSE(missing.readFile(path + ".absent"));
    EXPECT_EQ("keep", missing.text());
}

TEST_F(FileNamesTest, AbsoluteNativePathResolvesDotsAndDoubledSeparators)
{
    Haulwright& haul = startComponent();
    EXPECT_EQ("/a/c/d.zip", haul.makeAbsoluteNativePath("/a/b/..//c/./d.zip"));
    EXPECT_EQ(QDir::currentPath().toStdString() + "/rel.zip", haul.makeAbsoluteNativePath("rel.zip"));
}
