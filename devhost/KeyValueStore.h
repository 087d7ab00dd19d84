#pragma once

#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

// One SQLite database file holding (key, text) rows. Shared by the KeyValueSchema copies
// made from one initLocal (boost::shared_ptr); the connection is closed with the last one.
// Callable from any thread: one connection, serialized by its own mutex. Every failure
// throws StoreError.
class KeyValueStore
{
public:
    // Opens or creates the file and checks it is a usable database.
    explicit KeyValueStore(const std::string& path);
    ~KeyValueStore();
    KeyValueStore(const KeyValueStore&) = delete;
    KeyValueStore& operator=(const KeyValueStore&) = delete;

    // Replaces every text under key by text, in one transaction.
    void insert(const std::string& key, const std::string& text);
    std::vector<std::string> get(const std::string& key);
    void remove(const std::string& key);
    // Every commit is already durable (synchronous FULL); this also checkpoints the WAL.
    void flush();
    std::vector<std::string> keys();

    const std::string& path() const { return file; }

private:
    void open(const std::string& name, int flags, bool writable);
    void execute(const char* operation, const char* sql);
    void quickCheck();
    [[noreturn]] void fail(const std::string& operation);

    const std::string file;
    // Guards db: one statement sequence at a time on the shared connection.
    std::mutex mutex;
    sqlite3* db = nullptr;
};
