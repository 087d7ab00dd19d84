// Persisted requests and file names: what survives a run and where files land.
#include "ComponentFixture.h"
#include "Configuration.h"
#include "KeyValueSchema.h"
#include "MessageBus.h"

#include <QFileInfo>
#include <set>
#include <unistd.h>

namespace {
std::vector<std::string> fields(const HaulwrightPersistedRequest& r)
{
    return {r.destinationFolder, r.url, r.fileHash, r.temporalFilename};
}
} // namespace

TEST_F(ComponentTest, RecordsSurviveARestartAndReadAsTheStoreHasThem)
{
    const HaulwrightPersistedRequest odd{"/in <&> \"q\" 'a'", "http://h/a?x=1&y=<2>", "ABCDEF", "/p\nq\xc3\xa9.part"};
    startComponent();
    EXPECT_EQ(0, component->persistRequest("odd", odd));
    EXPECT_EQ(0, component->persistRequest("empty", HaulwrightPersistedRequest()));
    destroyComponent();
    // A stored text missing a node leaves that field as the caller had it.
    PersistentManager()
        .initLocal("DownloadRequests", "", "", "")
        ._insert("nourl", "<HaulwrightPersistedRequest><destinationFolder>d</destinationFolder><fileHash>h</fileHash>"
                          "<temporalFilename>t</temporalFilename></HaulwrightPersistedRequest>");
    startComponent();
    const std::vector<std::string> before{"d0", "kept", "h0", "t0"};
    const std::string failed = "HAULWRIGHT: Schema get failed. Reason: KeyValueSchema error get() due to: ";
    for (const auto& [key, result, read, log] :
         std::vector<std::tuple<std::string, int, std::vector<std::string>, std::string>>{
             {"odd", 0, fields(odd), ""},
             {"empty", 0, fields({}), ""},
             {"nourl", 0, {"d", "kept", "h", "t"}, ""},
             {"absent", 1, before, failed + "invalid key ->absent"}}) {
        SCOPED_TRACE(key);
        clearLog();
        HaulwrightPersistedRequest record{before[0], before[1], before[2], before[3]};
        EXPECT_EQ(result, component->readPersistedRequest(key, record));
        EXPECT_EQ(read, fields(record));
        EXPECT_EQ(log.empty() ? std::vector<std::string>() : std::vector<std::string>{log}, logTexts());
    }
}

TEST_F(ComponentTest, AbortOfAPausedDownloadDiscardsItOnceThenIsRefused)
{
    startComponent();
    ASSERT_TRUE(writeFile(in("kept.part"), "abc"));
    // The second record's partial file is already gone: it is discarded all the same.
    for (const std::string session : {"kept", "gone"}) {
        ASSERT_EQ(0, component->persistRequest(session, {in(), "http://h/f", "", in(session + ".part")}));
        send("Abort", session);
        EXPECT_TRUE(isReport(awaitReply(session), "WasAborted", 0, "Download aborted")) << session;
        EXPECT_FALSE(fileExists(in(session + ".part")));
        EXPECT_EQ("", recordedPartial(session));
    }
    replies.clear();
    clearLog();
    send("Abort", "kept");
    EXPECT_TRUE(isReport(awaitReply("kept"), "DownloaderError", 272, "Critical unknown error"));
    EXPECT_EQ((std::vector<std::string>{"HAULWRIGHT: Schema get failed. Reason: KeyValueSchema error get() due to: "
                                        "invalid key ->kept",
                                        " No file to be aborted."}),
              logTexts());
}

TEST_F(ComponentTest, FinalNameComesFromTheUrlPathOrAConfinedServerNameAndIsMadeUnique)
{
    // One place: a Start answered from a complete file must give it back.
    Configuration::instance().set("Downloader/MaxDownloads", "1");
    const std::string lower = sha1Hex(body(3000, 9)), upper = QString::fromStdString(lower).toUpper().toStdString();
    const std::string traversing = "h=Content-Disposition:attachment%3B%20filename%3D%22..%2F..%2Fescape.txt%22&";
    ASSERT_TRUE(writeFile(in("v1.0/.keep"), ""));
    startComponent();
    int n = 0;
    for (const auto& [path, folder, hash, saved] :
         std::vector<std::tuple<std::string, std::string, std::string, std::string>>{
             {"/files/a.zip?", in(), "", in("a.zip")},
             {"/files/a.zip?", in(), "", in("a_2.zip")},
             {"/files/a.zip?", in(), "", in("a_3.zip")},
             {"/files/a%20b.zip?", in(), "", in("a b.zip")},
             // Complete already, found by its digest in any case: the server's failure is never asked for.
             {"/files/a%20b.zip?status=404&", in(), upper, in("a b.zip")},
             // The same content under another name is no candidate.
             {"/files/c.zip?", in(), lower, in("c.zip")},
             {"/files/?", in(), "", in("download")},
             {"/files/?", in(), "", in("download_2")},
             {"/f.bin?", "", "", dataPath + "download/f.bin"},
             {"/t?" + traversing, in(), "", in("escape.txt")},
             // Names from the URL are confined like server names, cut to 255 bytes with their
             // extension, and made unique in the file's own name only.
             {"/ok/%2e?", in(), "", in("download_3")},
             {"/ok/x/%2e%2e?", in(), "", in("download_4")},
             {"/ok/keep%00.bin?", in(), "", in("keep.bin")},
             {"/" + std::string(300, 'n') + ".bin?", in(), "", in(std::string(251, 'n') + ".bin")},
             {"/" + std::string(300, 'n') + ".bin?", in(), "", in(std::string(249, 'n') + "_2.bin")},
             {"/a.tar.gz?", in(), "", in("a.tar.gz")},
             {"/a.tar.gz?", in(), "", in("a.tar_2.gz")},
             {"/file?", in("v1.0"), "", in("v1.0/file")},
             {"/file?", in("v1.0"), "", in("v1.0/file_2")}}) {
        const std::string url = server.url(QString::fromStdString(path + "size=3000&seed=9"));
        EXPECT_TRUE(isReport(download(std::to_string(++n), url, folder, hash), "WasFinished", 0, saved)) << path;
        EXPECT_EQ(body(3000, 9), readFile(saved));
        EXPECT_EQ("", recordedPartial(std::to_string(n)));
    }
    EXPECT_FALSE(fileExists(sandbox.file("escape.txt")));
    EXPECT_FALSE(fileExists(sandbox.file("in_2")));
    EXPECT_TRUE(partialFiles().isEmpty());
}

// Twelve downloads of one name complete at once into a folder where another program's file and a
// dangling link already hold names: each lands under a name of its own with its own bytes, and
// neither the file nor the link is touched.
TEST_F(ComponentTest, CompletionsOfOneNameAtOnceNeverReplaceAFile)
{
    Configuration::instance().set("Downloader/MaxDownloads", "12");
    ASSERT_TRUE(writeFile(in("same_2.bin"), "theirs"));
    ASSERT_EQ(0, ::symlink(sandbox.file("nowhere").c_str(), in("same_3.bin").c_str()));
    startComponent();
    for (int n = 1; n <= 12; ++n)
        start(std::to_string(n), server.url(QString("/same.bin?size=4000&seed=%1").arg(n)), in());
    std::set<std::string> saved;
    for (int n = 1; n <= 12; ++n) {
        const Message report = awaitReply(std::to_string(n));
        ASSERT_TRUE(report) << n;
        const std::string path = textOf(report);
        EXPECT_TRUE(isReport(report, "WasFinished", 0, path));
        EXPECT_EQ(body(4000, n), readFile(path)) << path;
        saved.insert(path);
    }
    EXPECT_EQ(12u, saved.size());
    EXPECT_FALSE(saved.count(in("same_2.bin")) || saved.count(in("same_3.bin")));
    EXPECT_EQ(QByteArray("theirs"), readFile(in("same_2.bin")));
    EXPECT_TRUE(QFileInfo(QString::fromStdString(in("same_3.bin"))).isSymLink());
    EXPECT_FALSE(fileExists(sandbox.file("nowhere")));
    EXPECT_TRUE(partialFiles().isEmpty());
}

// Another connection holds the store's write lock for longer than the store waits (10 s) while a
// download completes. Unable to name the final file in its record, the completion does not move
// the file (271), and a Resume moves it later. Unable to remove the record after the move, it
// leaves the record naming the final file, and a new Start of the same download answers with
// that file. Either way there is one right copy and never a second.
TEST_F(ComponentTest, CompletionMeetingABusyStoreLeavesOneRightCopy)
{
    startComponent();
    StoreLock other(storeFile);
    const auto logged = [this](const std::string& prefix) {
        return waitUntil(
            [&] {
                for (const std::string& text : logTexts())
                    if (text.rfind(prefix, 0) == 0)
                        return true;
                return false;
            },
            30000);
    };

    start("name", server.url("/named.bin?size=200000&seed=44&stall=1500&at=1000"), in());
    ASSERT_TRUE(waitRunning("name"));
    ASSERT_TRUE(other.take());
    ASSERT_TRUE(logged("HAULWRIGHT: Schema insert/flush failed."));
    other.release();
    const Message unsaved = awaitReply("name");
    EXPECT_TRUE(isReport(unsaved, "WasFailed", 271, "Cannot save the specified filename"));
    EXPECT_EQ(200000, causeOf(unsaved).bytesKept);
    EXPECT_FALSE(fileExists(in("named.bin")));
    EXPECT_EQ(200000, fileSize(recordedPartial("name")));
    EXPECT_TRUE(isReport(resume("name"), "WasFinished", 0, in("named.bin")));
    EXPECT_EQ(body(200000, 44), readFile(in("named.bin")));

    clearLog();
    MessageBus::instance().setPostFilter([&other](const LocalMessage& m) {
        if (m.getMessageType() == "WasFinished" && m.getSessionId().getValue() == "kept")
            other.take();
        return true;
    });
    const std::string url = server.url("/moved.bin?size=100000&seed=45");
    start("kept", url, in());
    EXPECT_TRUE(isReport(awaitReply("kept"), "WasFinished", 0, in("moved.bin")));
    ASSERT_TRUE(logged("HAULWRIGHT: Schema remove/flush failed."));
    other.release();
    MessageBus::instance().setPostFilter({});
    HaulwrightPersistedRequest record;
    ASSERT_TRUE(persisted("kept", record));
    EXPECT_EQ(std::make_pair(in("moved.bin"), std::string("100000")),
              std::make_pair(record.finalFilename, record.finalSize));
    server.clearRequests();
    const Message found = outcomeOf(makeMessage("Start", "kept", startPayload(url, in())));
    EXPECT_TRUE(isReport(found, "WasFinished", 0, in("moved.bin")));
    EXPECT_EQ(100000, causeOf(found).bytesKept);
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_EQ("", recordedPartial("kept"));
    EXPECT_EQ(body(100000, 45), readFile(in("moved.bin")));
    EXPECT_FALSE(fileExists(in("named_2.bin")) || fileExists(in("moved_2.bin")));
    EXPECT_TRUE(partialFiles().isEmpty());
}
