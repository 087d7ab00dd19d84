#include "Configuration.h"
#include "Fixture.h"
#include "KeyValueSchema.h"
#include "StoreError.h"

#include <QDir>
#include <grp.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <typeinfo>
#include <unistd.h>

namespace {

// A record with a text form, to drive the reading template over the real store.
struct Note
{
    std::string text;
    friend std::string wrapValue(const Note& note) { return "note:" + note.text; }
    friend bool unwrapValue(const std::string& stored, Note& note)
    {
        return stored.compare(0, 5, "note:") == 0 && (note.text = stored.substr(5), true);
    }
};

using Texts = std::vector<std::string>;

KeyValueSchema open(const std::string& domain = "domain-1")
{
    return PersistentManager().initLocal("DownloadRequests", domain, "", "");
}

// The dynamic type and text of what f throws; "" when it returns.
template <class F> std::string errorOf(F f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return typeid(e).name() + (" " + std::string(e.what()));
    }
    return "";
}

template <class E> std::string error(const std::string& what)
{
    return typeid(E).name() + (" " + what);
}

class KeyValueStoreTest : public testing::Test
{
protected:
    void SetUp() override { Configuration::instance().set("Directories/DataPath", sandbox.path()); }
    void TearDown() override { Configuration::instance().clear(); }

    std::string storeFile(const std::string& name = "DownloadRequests-domain-1.sqlite") const
    {
        return sandbox.path() + "store/" + name;
    }

    Sandbox sandbox;
};

TEST_F(KeyValueStoreTest, InsertReplacesRemoveDeletesAndTextsStayByteExact)
{
    KeyValueSchema store = open();
    KeyValueSchema copy(store);
    EXPECT_EQ(store.getRawData("k"), Texts{});
    store._insert("k", "first");
    copy._insert("k", "second");
    store._insert("other", "x");
    EXPECT_EQ(store.getRawData("k"), Texts{"second"});
    EXPECT_EQ(store.keys(), (Texts{"k", "other"}));
    store.remove("k");
    store.remove("never-stored");
    store.flush();
    EXPECT_EQ(store.getRawData("k"), Texts{});
    EXPECT_EQ(store.getRawData("other"), Texts{"x"});

    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    const std::string key("key\0with nul", 12);
    store._insert(key, bytes);
    EXPECT_EQ(store.getRawData(key), Texts{bytes});
    EXPECT_EQ(store.getRawData("key"), Texts{});
}

// One file per domain, kept inside store/ whatever the domain's text, and found again after reopening.
TEST_F(KeyValueStoreTest, EachDomainIsItsOwnFileAndSurvivesReopen)
{
    {
        KeyValueSchema store = open();
        store._insert("session", "persisted");
        open("../a/b c")._insert("k", "v");
    }
    EXPECT_TRUE(fileExists(storeFile()));
    EXPECT_EQ(open().getRawData("session"), Texts{"persisted"});
    EXPECT_EQ(open("../a/b c").getRawData("k"), Texts{"v"});
    for (const std::string domain : {"domain-2", "", "___a_b_c", "..%2Fa%2Fb%20c"}) {
        EXPECT_EQ(open(domain).getRawData("session"), Texts{}) << domain;
        EXPECT_EQ(open(domain).getRawData("k"), Texts{}) << domain;
    }
    EXPECT_TRUE(fileExists(storeFile("DownloadRequests.sqlite")));
    const QStringList files =
        QDir(QString::fromStdString(sandbox.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    EXPECT_EQ(files, QStringList{"store"});
    EXPECT_EQ(QDir(QString::fromStdString(sandbox.path() + "store")).entryList({"*.sqlite"}, QDir::Files).size(), 6);
}

TEST_F(KeyValueStoreTest, ReadingTemplateReportsMissingDuplicateAndBadTexts)
{
    KeyValueSchema store = open();
    store.insert("k", Note{"hello"});
    store._insert("bad", "not a note");
    Note note{"untouched"};
    EXPECT_EQ(errorOf([&] { store.get("missing", note); }),
              error<Schema::_key_does_not_exist_exception>("KeyValueSchema error get() due to: invalid key ->missing"));
    EXPECT_EQ(note.text, "untouched");
    EXPECT_EQ(errorOf([&] { store.get("bad", note); }),
              error<Schema::_type_not_match_exception>(
                  "KeyValueSchema error get() due to: Can't unwrap the serialized object: not a note"));
    store.get("k", note);
    EXPECT_EQ(note.text, "hello");

    // A second row under one key, written behind the store's back.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(storeFile().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO entries(key, value) VALUES('k', 'note:again')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(store.getRawData("k"), (Texts{"note:hello", "note:again"}));
    EXPECT_EQ(errorOf([&] { store.get("k", note); }),
              error<Schema::_query_exception>(
                  "KeyValueSchema error get() due to: there are more than one value for this key ->k"));
    // Replacing repairs the key.
    store.insert("k", Note{"single"});
    store.get("k", note);
    EXPECT_EQ(note.text, "single");
}

TEST_F(KeyValueStoreTest, ConcurrentWritersOnTwoConnectionsAllLand)
{
    KeyValueSchema stores[] = {open(), open()};
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const std::string key = std::to_string(t * 40 + i);
                stores[t % 2]._insert(key, "v" + key);
                stores[t % 2]._insert(key, "w" + key);
                stores[t % 2].flush();
                (void)stores[t % 2].getRawData(key);
            }
        });
    for (auto& w : writers)
        w.join();
    EXPECT_EQ(stores[0].keys().size(), 320u);
    for (int k = 0; k < 320 && !HasFailure(); ++k)
        EXPECT_EQ(stores[1].getRawData(std::to_string(k)), Texts{"w" + std::to_string(k)});
}

TEST_F(KeyValueStoreTest, UnusableSetupsFailAtOpenWithAClearError)
{
    ASSERT_TRUE(writeFile(storeFile(), body(8192, 7)));
    EXPECT_EQ(errorOf([] { open(); }),
              error<StoreError>("key-value store: open failed on " + storeFile() + ": file is not a database"));
    ASSERT_TRUE(writeFile(sandbox.file("blocker"), "a file where a folder should be"));
    Configuration::instance().set("Directories/DataPath", sandbox.file("blocker") + "/");
    EXPECT_EQ(errorOf([] { open(); }).find(error<StoreError>("key-value store: create folder failed on ")), 0u);
    Configuration::instance().unset("Directories/DataPath");
    EXPECT_NE(errorOf([] { open(); }).find("the configuration key Directories/DataPath is not set"), std::string::npos);
}

// The insert fails with the file named, and reading goes on.
TEST_F(KeyValueStoreTest, ReadOnlyFileMakesInsertThrow)
{
    open()._insert("k", "v");
    ASSERT_EQ(::chmod(storeFile().c_str(), 0444), 0);
    // The folder stays writable: SQLite needs its shared-memory file beside the database.
    ASSERT_EQ(::chmod(sandbox.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((sandbox.path() + "store").c_str(), 0777), 0);
    // Root writes any file, so the child drops to an unprivileged user first.
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const uid_t nobody = 65534;
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
                                 ::setresuid(nobody, nobody, nobody) != 0))
            ::_exit(10);
        KeyValueSchema store = open();
        const std::string what = errorOf([&] { store._insert("k", "changed"); });
        const bool named = what.find(error<StoreError>("key-value store: ")) == 0 &&
                           what.find(storeFile()) != std::string::npos && what.find("readonly") != std::string::npos;
        if (!named)
            std::fprintf(stderr, "unexpected: %s\n", what.c_str());
        ::_exit(named && store.getRawData("k") == Texts{"v"} ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
