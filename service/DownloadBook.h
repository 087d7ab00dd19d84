#pragma once

#include "Download.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class KeyValueStore;

// The owner's records of its downloads, kept beside the component's records of its partial
// files in the component's store, through one handle opened once. The owner's keys are
// "owner/ID", which no session identifier can be. Writes go out on a thread of their own, in
// order, the latest of one download winning, many to one disk sync; nobody waits for the disk
// but a caller of sync(). Callable from any thread.
class DownloadBook
{
public:
    // The component's store file (storeFilePath of "DownloadRequests" and the domain). Throws
    // when it cannot be opened.
    explicit DownloadBook(const std::string& storePath);
    // Writes what is still waiting.
    ~DownloadBook();
    DownloadBook(const DownloadBook&) = delete;
    DownloadBook& operator=(const DownloadBook&) = delete;

    // The owner's records, then the component's records the owner has none of (kept by an
    // earlier version, or by another client of the bus): paused, or failed with their report.
    std::vector<Download> load();
    void save(const Download& download);
    void erase(const std::string& id);
    // Waits until everything saved or erased before is on disk; false with *error when the
    // store refused it.
    bool sync(std::string* error);
    // Bytes of the file the component keeps for id: what a resume begins with; -1 when it
    // keeps no record or no file.
    std::int64_t partialBytes(const std::string& id);

    static std::string keyOf(const std::string& id) { return "owner/" + id; }

private:
    void writeLoop();

    std::shared_ptr<KeyValueStore> store;
    // Guards everything below.
    std::mutex mutex;
    std::condition_variable changed;
    // key -> what to record, or none: erase. Made text on the writer's thread, so a record
    // replaced before its turn is never made at all.
    std::map<std::string, std::optional<Download>> pending;
    std::uint64_t submitted = 0;
    std::uint64_t written = 0;
    std::string failure; // of the last write, until a sync reports it
    bool quitting = false;
    std::thread writer;
};
