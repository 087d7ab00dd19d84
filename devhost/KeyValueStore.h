#pragma once

#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The file of store name in domain under the data directory of the configuration; throws when
// that is not set. The one naming rule of the stores.
std::string storeFilePath(const std::string& name, const std::string& domain);

// One SQLite database file holding (key, text) rows. Shared by the KeyValueSchema copies
// made from one initLocal (boost::shared_ptr); the connection is closed with the last one.
// Callable from any thread: one connection, serialized by its own mutex. Writes made at the
// same time share one transaction and so one sync to disk (group commit); each returns only
// once its own write is durable. Every failure throws StoreError.
class KeyValueStore
{
public:
    // Opens or creates the file and checks it is a usable database.
    explicit KeyValueStore(const std::string& path);
    // One handle per file in this process, shared by every writer of it: their commits group
    // together and none waits for another connection's lock.
    static std::shared_ptr<KeyValueStore> openShared(const std::string& path);
    ~KeyValueStore();
    KeyValueStore(const KeyValueStore&) = delete;
    KeyValueStore& operator=(const KeyValueStore&) = delete;

    // Replaces every text under key by text, in one transaction.
    void insert(const std::string& key, const std::string& text);
    std::vector<std::string> get(const std::string& key);
    // durable false: committed without a sync of its own; the next durable commit (or a
    // checkpoint) makes it durable.
    void remove(const std::string& key, bool durable = true);
    // Each change replaces the texts of its key by its text, or (no text) removes them; all in
    // the transactions of one group commit, so one sync to disk serves them all.
    void write(const std::vector<std::pair<std::string, std::optional<std::string>>>& changes);
    // Every commit is already durable (synchronous FULL); this also checkpoints the WAL.
    void flush();
    std::vector<std::string> keys();

    const std::string& path() const { return file; }

private:
    void open(const std::string& name, int flags, bool writable);
    // One insert or remove waiting for its commit.
    struct Write
    {
        bool removal;
        const std::string& key;
        const std::string& text;
        bool done = false;
        std::exception_ptr error;
        bool durable = true;
    };

    void commit(std::vector<Write>& writes);
    // Under mutex: the writes in one transaction; alone, each in its own, when that fails.
    void commitTogether(const std::vector<Write*>& batch);
    void apply(const Write& write);
    void execute(const char* operation, const char* sql);
    void quickCheck();
    [[noreturn]] void fail(const std::string& operation);

    const std::string file;
    // Guards db: one statement sequence at a time on the shared connection.
    std::mutex mutex;
    sqlite3* db = nullptr;
    // Under mutex: statements prepared once per connection, by their SQL text (a literal).
    std::map<const char*, sqlite3_stmt*> statements;
    // Guards waiting and committing; never held while waiting for mutex.
    std::mutex writesMutex;
    std::condition_variable committed;
    std::vector<Write*> waiting;
    bool committing = false;
};
