#include "Configuration.h"
#include "KeyValueSchema.h"
#include "Sandbox.h"
#include "StoreError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A record with a text form, to drive the reading template over the real store.
struct Note
{
    std::string text;
};

std::string wrapValue(const Note& note)
{
    return "note:" + note.text;
}

bool unwrapValue(const std::string& stored, Note& note)
{
    if (stored.compare(0, 5, "note:") != 0)
        return false;
    note.text = stored.substr(5);
    return true;
}

class KeyValueStoreTest : public testing::Test
{
protected:
    void SetUp() override { Configuration::instance().set("Directories/DataPath", sandbox.path()); }
    void TearDown() override { Configuration::instance().clear(); }

    KeyValueSchema open(const std::string& domain = "domain-1")
    {
        return PersistentManager().initLocal("DownloadRequests", domain, "", "");
    }

    std::string storeFile(const std::string& name) const { return sandbox.path() + "store/" + name; }

    Sandbox sandbox;
};

using Texts = std::vector<std::string>;

TEST_F(KeyValueStoreTest, InsertReplacesAndRemoveDeletes)
{
    KeyValueSchema store = open();
    EXPECT_EQ(store.getRawData("k"), Texts{});
    store._insert("k", "first");
    store._insert("k", "second");
    store._insert("other", "x");
    EXPECT_EQ(store.getRawData("k"), Texts{"second"});
    EXPECT_EQ(store.keys(), (Texts{"k", "other"}));
    store.remove("k");
    store.flush();
    EXPECT_EQ(store.getRawData("k"), Texts{});
    EXPECT_EQ(store.getRawData("other"), Texts{"x"});
    store.remove("never-stored"); // no error
}

TEST_F(KeyValueStoreTest, TextsAreKeptByteForByte)
{
    KeyValueSchema store = open();
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    store._insert(std::string("key\0with nul", 12), bytes);
    EXPECT_EQ(store.getRawData(std::string("key\0with nul", 12)), Texts{bytes});
    EXPECT_EQ(store.getRawData("key"), Texts{});
}

TEST_F(KeyValueStoreTest, ContentsSurviveCloseAndReopen)
{
    {
        KeyValueSchema store = open();
        store._insert("session", "persisted");
        store.flush();
    }
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(storeFile("DownloadRequests-domain-1.sqlite"))));
    KeyValueSchema again = open();
    EXPECT_EQ(again.getRawData("session"), Texts{"persisted"});
    // Another domain is another store.
    EXPECT_EQ(open("domain-2").getRawData("session"), Texts{});
    EXPECT_EQ(open("").getRawData("session"), Texts{});
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(storeFile("DownloadRequests.sqlite"))));
}

TEST_F(KeyValueStoreTest, DomainIsMadeSafeForFileNames)
{
    open("../a/b c")._insert("k", "v");
    // Everything stays inside store/, and a similar-looking domain is a different store.
    const QStringList files =
        QDir(QString::fromStdString(sandbox.path() + "store")).entryList({QStringLiteral("*.sqlite")}, QDir::Files);
    ASSERT_EQ(files.size(), 1);
    EXPECT_FALSE(files.front().contains(QLatin1Char('/')));
    EXPECT_EQ(open("../a/b c").getRawData("k"), Texts{"v"});
    EXPECT_EQ(open("___a_b_c").getRawData("k"), Texts{});
    EXPECT_EQ(open("..%2Fa%2Fb%20c").getRawData("k"), Texts{});
}

TEST_F(KeyValueStoreTest, CopiesShareTheStore)
{
    KeyValueSchema store = open();
    KeyValueSchema copy(store);
    copy._insert("k", "from copy");
    EXPECT_EQ(store.getRawData("k"), Texts{"from copy"});
}

TEST_F(KeyValueStoreTest, ReadingTemplateReportsMissingDuplicateAndBadTexts)
{
    KeyValueSchema store = open();
    store.insert("k", Note{"hello"});
    Note note{"untouched"};
    store.get("k", note);
    EXPECT_EQ(note.text, "hello");

    note.text = "untouched";
    try {
        store.get("missing", note);
        FAIL() << "no exception";
    } catch (const Schema::_key_does_not_exist_exception& e) {
        EXPECT_STREQ(e.what(), "KeyValueSchema error get() due to: invalid key ->missing");
    }
    EXPECT_EQ(note.text, "untouched");

    store._insert("bad", "not a note");
    EXPECT_THROW(store.get("bad", note), Schema::_type_not_match_exception);

    // A second row under one key, written behind the store's back.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(storeFile("DownloadRequests-domain-1.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO entries(key, value) VALUES('k', 'note:again')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(store.getRawData("k"), (Texts{"note:hello", "note:again"}));
    try {
        store.get("k", note);
        FAIL() << "no exception";
    } catch (const Schema::_query_exception& e) {
        EXPECT_STREQ(e.what(), "KeyValueSchema error get() due to: there are more than one value for this key ->k");
    }
    // Replacing repairs the key.
    store.insert("k", Note{"single"});
    store.get("k", note);
    EXPECT_EQ(note.text, "single");
}

TEST_F(KeyValueStoreTest, ConcurrentWritersAllLand)
{
    KeyValueSchema store = open();
    KeyValueSchema second = open(); // a second connection to the same file
    constexpr int threads = 8;
    constexpr int perThread = 40;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            KeyValueSchema& target = t % 2 == 0 ? store : second;
            for (int i = 0; i < perThread; ++i) {
                const std::string key = std::to_string(t) + "-" + std::to_string(i);
                target._insert(key, "v" + key);
                target._insert(key, "w" + key); // replaced under contention too
                target.flush();
                (void)target.getRawData(key);
            }
        });
    }
    for (auto& w : writers)
        w.join();
    EXPECT_EQ(store.keys().size(), std::size_t(threads * perThread));
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < perThread; ++i) {
            const std::string key = std::to_string(t) + "-" + std::to_string(i);
            ASSERT_EQ(second.getRawData(key), Texts{"w" + key});
        }
    }
}

TEST_F(KeyValueStoreTest, CorruptFileFailsAtOpenWithAClearError)
{
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(sandbox.path() + "store")));
    const std::string file = storeFile("DownloadRequests-domain-1.sqlite");
    {
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < 8192; ++i)
            out.put(static_cast<char>((i * 7919) % 251));
    }
    try {
        open();
        FAIL() << "no exception";
    } catch (const StoreError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(file), std::string::npos) << what;
        EXPECT_NE(what.find("not a database"), std::string::npos) << what;
        EXPECT_EQ(e.file(), file);
    }
}

TEST_F(KeyValueStoreTest, MissingDataPathIsAnError)
{
    Configuration::instance().unset("Directories/DataPath");
    try {
        open();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Directories/DataPath"), std::string::npos) << e.what();
    }
}

TEST_F(KeyValueStoreTest, UnusableFolderIsAStoreError)
{
    {
        std::ofstream(sandbox.file("blocker")) << "a file where a folder should be";
    }
    Configuration::instance().set("Directories/DataPath", sandbox.file("blocker") + "/");
    EXPECT_THROW(open(), StoreError);
}

// 0: _insert threw StoreError and reads still worked; anything else is a failure.
int writeToReadOnlyStore(const std::string& file)
{
    try {
        KeyValueSchema store = PersistentManager().initLocal("DownloadRequests", "domain-1", "", "");
        if (store.getRawData("k") != Texts{"v"})
            return 3;
        try {
            store._insert("k", "changed");
        } catch (const StoreError& e) {
            const std::string what = e.what();
            if (what.find(file) == std::string::npos || what.find("readonly") == std::string::npos) {
                std::fprintf(stderr, "unexpected text: %s\n", e.what());
                return 4;
            }
            return store.getRawData("k") == Texts{"v"} ? 0 : 5;
        }
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "unexpected: %s\n", e.what());
        return 2;
    }
}

TEST_F(KeyValueStoreTest, ReadOnlyFileMakesInsertThrow)
{
    open()._insert("k", "v");
    const std::string file = storeFile("DownloadRequests-domain-1.sqlite");
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    // The folder stays writable: SQLite needs its shared-memory file beside the database.
    ASSERT_EQ(::chmod(sandbox.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((sandbox.path() + "store").c_str(), 0777), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(writeToReadOnlyStore(file), 0);
        return;
    }
    // Root writes any file: check as an unprivileged user in a child process.
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const gid_t nobodyGroup = 65534;
        const uid_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(nobodyGroup, nobodyGroup, nobodyGroup) != 0 ||
            ::setresuid(nobody, nobody, nobody) != 0)
            ::_exit(10);
        ::_exit(writeToReadOnlyStore(file));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
