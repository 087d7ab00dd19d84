#include "KeyValueStore.h"

#include "StoreError.h"

#include <QFileInfo>
#include <QUrl>
#include <algorithm>
#include <fcntl.h>
#include <map>
#include <sqlite3.h>
#include <unistd.h>

namespace {

// A prepared statement finalized on every path out.
class Statement
{
public:
    Statement(sqlite3* db, const char* sql) { status = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
    // Taken from (or prepared into) cache, and only reset when done.
    Statement(std::map<const char*, sqlite3_stmt*>& cache, sqlite3* db, const char* sql) : cached(true)
    {
        const auto found = cache.find(sql);
        if (found != cache.end()) {
            stmt = found->second;
            status = SQLITE_OK;
            return;
        }
        status = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        if (status == SQLITE_OK)
            cache[sql] = stmt;
        else
            cached = false;
    }
    ~Statement()
    {
        if (cached) {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
        } else {
            sqlite3_finalize(stmt);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return status == SQLITE_OK; }
    bool bind(int index, const std::string& text)
    {
        return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) ==
               SQLITE_OK;
    }
    int step() { return sqlite3_step(stmt); }
    std::string column(int index)
    {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, index));
        return data == nullptr ? std::string()
                               : std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(stmt, index)));
    }

private:
    sqlite3_stmt* stmt = nullptr;
    int status;
    bool cached = false;
};

// Long enough to ride out another connection's commit on the same file.
constexpr int kBusyTimeoutMs = 10000;

} // namespace

std::shared_ptr<KeyValueStore> KeyValueStore::openShared(const std::string& path)
{
    static std::mutex registryMutex;
    static std::map<std::string, std::weak_ptr<KeyValueStore>> registry;
    std::lock_guard<std::mutex> lock(registryMutex);
    std::weak_ptr<KeyValueStore>& slot = registry[path];
    if (std::shared_ptr<KeyValueStore> open = slot.lock())
        return open;
    auto store = std::make_shared<KeyValueStore>(path);
    slot = store;
    return store;
}

KeyValueStore::KeyValueStore(const std::string& path) : file(path)
{
    // Made the user's alone before SQLite creates it with the usual mode; its journal files
    // take the mode of the file itself.
    const int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (created >= 0)
        ::close(created);
    try {
        open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true);
    } catch (const StoreError&) {
        if (!QFileInfo(QString::fromStdString(path)).isFile())
            throw;
        // A store on a read-only file or folder can still be read as it stands on disk: no
        // writer can change it meanwhile. Every write then fails as it should.
        QByteArray uri = QUrl::toPercentEncoding(QString::fromStdString(path), "/");
        open("file:" + uri.toStdString() + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, false);
    }
}

void KeyValueStore::open(const std::string& name, int flags, bool writable)
{
    db = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string reason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        throw StoreError("open", file, reason);
    }
    try {
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        if (writable) {
            // Reading the header here turns a foreign or corrupt file into an error at open time.
            execute("open", "PRAGMA journal_mode=WAL");
            execute("open", "PRAGMA synchronous=FULL");
            execute("open", "CREATE TABLE IF NOT EXISTS entries(key TEXT NOT NULL, value TEXT NOT NULL)");
            // Not unique: the store must be able to hold, and report, two texts under one key.
            execute("open", "CREATE INDEX IF NOT EXISTS entries_key ON entries(key)");
        }
        quickCheck();
    } catch (...) {
        for (const auto& statement : statements)
            sqlite3_finalize(statement.second);
        statements.clear();
        sqlite3_close(db);
        throw;
    }
}

KeyValueStore::~KeyValueStore()
{
    for (const auto& statement : statements)
        sqlite3_finalize(statement.second);
    sqlite3_close(db);
}

void KeyValueStore::fail(const std::string& operation)
{
    throw StoreError(operation, file, sqlite3_errmsg(db));
}

void KeyValueStore::execute(const char* operation, const char* sql)
{
    Statement statement(statements, db, sql);
    if (!statement.ok())
        fail(operation);
    int rc;
    while ((rc = statement.step()) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE)
        fail(operation);
}

void KeyValueStore::quickCheck()
{
    Statement check(db, "PRAGMA quick_check");
    if (!check.ok())
        fail("open");
    int rc;
    // Damage shows as rows other than a single "ok".
    while ((rc = check.step()) == SQLITE_ROW) {
        const std::string result = check.column(0);
        if (result != "ok")
            throw StoreError("open", file, "database disk image is malformed: " + result);
    }
    if (rc != SQLITE_DONE)
        fail("open");
}

void KeyValueStore::insert(const std::string& key, const std::string& text)
{
    std::vector<Write> writes{Write{false, key, text, false, nullptr}};
    commit(writes);
}

void KeyValueStore::write(const std::vector<std::pair<std::string, std::optional<std::string>>>& changes)
{
    static const std::string none;
    std::vector<Write> writes;
    writes.reserve(changes.size());
    for (const auto& change : changes)
        writes.push_back(Write{!change.second, change.first, change.second ? *change.second : none, false, nullptr});
    if (!writes.empty())
        commit(writes);
}

void KeyValueStore::commit(std::vector<Write>& writes)
{
    std::unique_lock<std::mutex> queue(writesMutex);
    for (Write& write : writes)
        waiting.push_back(&write);
    const auto allDone = [&writes] {
        return std::all_of(writes.begin(), writes.end(), [](const Write& w) { return w.done; });
    };
    while (!allDone()) {
        if (committing) {
            committed.wait(queue);
            continue;
        }
        // This caller commits everything that waits now, its own write among it; writes that
        // arrive meanwhile form the next group.
        committing = true;
        std::vector<Write*> batch;
        batch.swap(waiting);
        queue.unlock();
        commitTogether(batch);
        queue.lock();
        for (Write* each : batch)
            each->done = true;
        committing = false;
        committed.notify_all();
    }
    for (const Write& write : writes) {
        if (write.error)
            std::rethrow_exception(write.error);
    }
}

void KeyValueStore::commitTogether(const std::vector<Write*>& batch)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto attempt = [this](const std::vector<Write*>& writes) {
        execute(writes.front()->removal ? "remove" : "insert", "BEGIN IMMEDIATE");
        try {
            for (const Write* write : writes)
                apply(*write);
            execute(writes.front()->removal ? "remove" : "insert", "COMMIT");
        } catch (...) {
            // Keep the connection usable; the original error is the one worth reporting.
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    };
    // A group of writes none of which needs to be durable now commits without a sync.
    const bool lazy = std::none_of(batch.begin(), batch.end(), [](const Write* w) { return w->durable; });
    if (lazy)
        sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    struct Restore
    {
        sqlite3* db;
        bool lazy;
        ~Restore()
        {
            if (lazy)
                sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
        }
    } restore{db, lazy};
    try {
        attempt(batch);
        return;
    } catch (...) {
        if (batch.size() == 1) {
            batch.front()->error = std::current_exception();
            return;
        }
    }
    // One bad write must not fail the others: each alone, with its own error.
    for (Write* write : batch) {
        try {
            attempt({write});
        } catch (...) {
            write->error = std::current_exception();
        }
    }
}

void KeyValueStore::apply(const Write& write)
{
    const char* operation = write.removal ? "remove" : "insert";
    Statement remove(statements, db, "DELETE FROM entries WHERE key = ?1");
    if (!remove.ok() || !remove.bind(1, write.key) || remove.step() != SQLITE_DONE)
        fail(operation);
    if (write.removal)
        return;
    Statement add(statements, db, "INSERT INTO entries(key, value) VALUES(?1, ?2)");
    if (!add.ok() || !add.bind(1, write.key) || !add.bind(2, write.text) || add.step() != SQLITE_DONE)
        fail(operation);
}

std::vector<std::string> KeyValueStore::get(const std::string& key)
{
    std::lock_guard<std::mutex> lock(mutex);
    Statement select(statements, db, "SELECT value FROM entries WHERE key = ?1 ORDER BY rowid");
    if (!select.ok() || !select.bind(1, key))
        fail("read");
    std::vector<std::string> texts;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW)
        texts.push_back(select.column(0));
    if (rc != SQLITE_DONE)
        fail("read");
    return texts;
}

void KeyValueStore::remove(const std::string& key, bool durable)
{
    static const std::string none;
    std::vector<Write> writes{Write{true, key, none, false, nullptr, durable}};
    commit(writes);
}

void KeyValueStore::flush()
{
    // Every write commits on its own with synchronous=FULL, so it is durable already; a
    // checkpoint here would only double the syncs. SQLite checkpoints the log by itself. A
    // connection in use is committing a group of its own: waiting for its sync gains nothing.
    std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
    if (lock.owns_lock() && sqlite3_get_autocommit(db) == 0)
        execute("flush", "COMMIT");
}

std::vector<std::string> KeyValueStore::keys()
{
    std::lock_guard<std::mutex> lock(mutex);
    Statement select(db, "SELECT DISTINCT key FROM entries ORDER BY key");
    if (!select.ok())
        fail("list keys");
    std::vector<std::string> result;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW)
        result.push_back(select.column(0));
    if (rc != SQLITE_DONE)
        fail("list keys");
    return result;
}
