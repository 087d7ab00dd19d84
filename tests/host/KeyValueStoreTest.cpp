#include "HostTest.h"
#include "KeyValueSchema.h"
#include "StoreError.h"

#include <QDir>
#include <grp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A record with a text form, to drive the reading template over the real store.
struct Note
{
    std::string text;
    friend std::string wrapValue(const Note& note) { return "note:" + note.text; }
    friend bool unwrapValue(const std::string& s, Note& n) { return s.rfind("note:", 0) == 0 && (n.text = s, true); }
};

using Texts = std::vector<std::string>;

KeyValueSchema open(const std::string& domain = "domain-1")
{
    return PersistentManager().initLocal("DownloadRequests", domain, "", "");
}

// Success when f throws E whose text contains part.
template <class E, class F> testing::AssertionResult throws(F f, const std::string& part)
{
    try {
        f();
    } catch (const E& e) {
        return std::string(e.what()).find(part) != std::string::npos ? testing::AssertionSuccess()
                                                                     : testing::AssertionFailure() << e.what();
    } catch (const std::exception& e) {
        return testing::AssertionFailure() << "other error: " << e.what();
    }
    return testing::AssertionFailure() << "nothing thrown";
}

class KeyValueStoreTest : public testing::Test
{
protected:
    void SetUp() override { Configuration::instance().set("Directories/DataPath", sandbox.path()); }
    void TearDown() override { Configuration::instance().clear(); }

    Sandbox sandbox;
    const std::string storeFile = sandbox.path() + "store/DownloadRequests-domain-1.sqlite";
};

// Insert replaces, texts and keys keep every byte, and the reading template reports a missing
// key, a text it cannot read and two rows under one key.
TEST_F(KeyValueStoreTest, InsertRemoveAndTheReadingTemplate)
{
    KeyValueSchema store = open();
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    const std::string key("key\0with nul", 12);
    store.insert("k", Note{"first"});
    store.insert("k", Note{"second"});
    store._insert("gone", "x");
    store._insert(key, bytes);
    store.remove("gone");
    EXPECT_EQ(store.keys(), (Texts{"k", key}));
    EXPECT_EQ(store.getRawData(key), Texts{bytes});
    Note note;
    store.get("k", note);

    store._insert("bad", "not a note");
    EXPECT_TRUE(throws<Schema::_key_does_not_exist_exception>([&] { store.get("missing", note); }, "missing"));
    EXPECT_TRUE(throws<Schema::_type_not_match_exception>([&] { store.get("bad", note); }, "not a note"));
    // A second row under one key, written behind the store's back.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(storeFile.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "INSERT INTO entries VALUES('k', 'note:again')", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_TRUE(throws<Schema::_query_exception>([&] { store.get("k", note); }, "k"));
    // Read once, then left alone by every failure.
    EXPECT_EQ(note.text, "note:second");
}

// One file per domain, kept inside store/ whatever the domain's text, and found again after
// reopening; domains that a lossy file name would confuse stay apart.
TEST_F(KeyValueStoreTest, EachDomainIsItsOwnFileSurvivesReopenAndTakesConcurrentWriters)
{
    const Texts domains = {"domain-1", "", "../a/b c", "_._a_b_c", "..%2Fa%2Fb%20c", "domain-2"};
    for (const std::string& domain : domains)
        open(domain)._insert("k", domain);
    for (const std::string& domain : domains)
        EXPECT_EQ(open(domain).getRawData("k"), Texts{domain}) << domain;
    const QDir root(QString::fromStdString(sandbox.path()));
    EXPECT_EQ(root.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"store"});
    EXPECT_EQ(QDir(root.filePath("store")).entryList({"*.sqlite"}, QDir::Files).size(), 6);

    // Two connections to one file, four writers on each.
    KeyValueSchema stores[] = {open(), open()};
    inParallel(8, [&](int t) {
        for (int i = 0; i < 40; ++i) {
            const std::string key = std::to_string(t * 40 + i);
            stores[t % 2]._insert(key, "v" + key);
            stores[t % 2]._insert(key, "w" + key);
            (void)stores[t % 2].getRawData(key);
        }
    });
    EXPECT_EQ(stores[0].keys().size(), 321u);
    for (int k = 0; k < 320 && !HasFailure(); ++k)
        EXPECT_EQ(stores[1].getRawData(std::to_string(k)), Texts{"w" + std::to_string(k)});
}

// Each failure names the file; a read-only store still reads.
TEST_F(KeyValueStoreTest, CorruptUnusableAndReadOnlyStoresFailWithAClearError)
{
    open()._insert("k", "v");
    ASSERT_EQ(::chmod(storeFile.c_str(), 0444), 0);
    // The folders stay writable: SQLite needs its shared-memory file beside the database.
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
        const bool failed = throws<StoreError>([&] { store._insert("k", "changed"); }, storeFile);
        ::_exit(failed && store.getRawData("k") == Texts{"v"} ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const std::string corrupt = sandbox.path() + "store/DownloadRequests-corrupt.sqlite";
    ASSERT_TRUE(writeFile(corrupt, body(8192, 7)));
    EXPECT_TRUE(throws<StoreError>([] { open("corrupt"); }, "open failed on " + corrupt));
    ASSERT_TRUE(writeFile(sandbox.file("blocker"), "a file where a folder should be"));
    Configuration::instance().set("Directories/DataPath", sandbox.file("blocker") + "/");
    EXPECT_TRUE(throws<StoreError>([] { open(); }, "create folder failed on " + sandbox.file("blocker")));
    Configuration::instance().unset("Directories/DataPath");
    EXPECT_TRUE(throws<std::runtime_error>([] { open(); }, "Directories/DataPath is not set"));
}

} // namespace
