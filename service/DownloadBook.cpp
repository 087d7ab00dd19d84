#include "DownloadBook.h"

#include "HaulwrightPersistedRequest.h"
#include "JsonInput.h"
#include "KeyValueStore.h"
#include "Pieces.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <algorithm>
#include <ctime>
#include <exception>

namespace {

const std::string ownerPrefix = "owner/";

// A record of the component the owner has none of, as a download of the owner.
Download adopted(const std::string& id, const HaulwrightPersistedRequest& record)
{
    Download download;
    download.id = id;
    download.url = record.url;
    download.dir = record.destinationFolder;
    download.sha1 = record.fileHash;
    download.started = true;
    download.state = record.lastState == "failed" ? DownloadState::Failed : DownloadState::Paused;
    download.interrupted = record.lastState.empty();
    if (record.lastState == "failed") {
        download.last.type = record.lastType.empty() ? "WasFailed" : record.lastType;
        download.last.code = record.lastCode;
        download.last.text = record.lastText;
        download.last.cause.httpStatus = record.httpStatus;
        download.last.cause.tlsCause = record.tlsCause;
        download.last.cause.retryAfter = record.retryAfter;
    }
    const QFileInfo partial(QString::fromStdString(record.temporalFilename));
    download.bytes = partial.isFile() ? static_cast<std::uint64_t>(partial.size()) : 0;
    download.added = download.updated = static_cast<std::int64_t>(std::time(nullptr));
    return download;
}

} // namespace

DownloadBook::DownloadBook(const std::string& storePath) : store(KeyValueStore::openShared(storePath))
{
    writer = std::thread([this] { writeLoop(); });
}

DownloadBook::~DownloadBook()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        quitting = true;
    }
    changed.notify_all();
    writer.join();
}

std::vector<Download> DownloadBook::load()
{
    std::vector<Download> owned, adopt;
    std::vector<std::string> known;
    for (const std::string& key : store->keys()) {
        const std::vector<std::string> texts = store->get(key);
        if (texts.size() != 1)
            continue;
        if (key.compare(0, ownerPrefix.size(), ownerPrefix) == 0) {
            Download download;
            const std::string& text = texts.front();
            if (Download::fromRecord(key.substr(ownerPrefix.size()), jsonObjectFrom(text.data(), text.size()),
                                     &download))
                owned.push_back(std::move(download));
            continue;
        }
        HaulwrightPersistedRequest record;
        if (unwrapValue(texts.front(), record) && !record.url.empty())
            adopt.push_back(adopted(key, record));
    }
    for (const Download& download : owned)
        known.push_back(download.id);
    std::sort(known.begin(), known.end());
    for (Download& download : adopt) {
        if (!std::binary_search(known.begin(), known.end(), download.id))
            owned.push_back(std::move(download));
    }
    std::stable_sort(owned.begin(), owned.end(),
                     [](const Download& a, const Download& b) { return a.added < b.added; });
    return owned;
}

void DownloadBook::save(const Download& download)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending[keyOf(download.id)] = download;
        ++submitted;
    }
    changed.notify_all();
}

void DownloadBook::erase(const std::string& id)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending[keyOf(id)] = std::nullopt;
        ++submitted;
    }
    changed.notify_all();
}

bool DownloadBook::sync(std::string* error)
{
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint64_t wanted = submitted;
    changed.wait(lock, [&] { return written >= wanted; });
    if (failure.empty())
        return true;
    if (error)
        *error = failure;
    failure.clear();
    return false;
}

std::int64_t DownloadBook::partialBytes(const std::string& id)
{
    try {
        const std::vector<std::string> texts = store->get(id);
        HaulwrightPersistedRequest record;
        if (texts.size() != 1 || !unwrapValue(texts.front(), record))
            return -1;
        const QFileInfo file(QString::fromStdString(record.temporalFilename));
        if (record.temporalFilename.empty() || !file.isFile())
            return -1;
        // A file fetched in pieces has its whole size from the start: its record says what is in it.
        std::vector<Piece> parts;
        if (pieces::fromText(record.pieces, file.size(), parts))
            return pieces::written(parts, file.size());
        return file.size();
    } catch (const std::exception&) {
    }
    return -1;
}

void DownloadBook::writeLoop()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return quitting || !pending.empty(); });
        if (pending.empty())
            return;
        std::vector<std::pair<std::string, std::optional<Download>>> taken(std::make_move_iterator(pending.begin()),
                                                                           std::make_move_iterator(pending.end()));
        pending.clear();
        const std::uint64_t upTo = submitted;
        lock.unlock();
        std::vector<std::pair<std::string, std::optional<std::string>>> batch;
        batch.reserve(taken.size());
        for (const auto& [key, download] : taken) {
            std::optional<std::string> text;
            if (download)
                text = QJsonDocument(download->toRecord()).toJson(QJsonDocument::Compact).toStdString();
            batch.emplace_back(key, std::move(text));
        }
        std::string error;
        try {
            store->write(batch);
        } catch (const std::exception& e) {
            error = e.what();
        }
        lock.lock();
        written = upTo;
        if (!error.empty()) {
            failure = error;
            // Kept for the next try unless something newer came meanwhile: a store held by
            // another program is free again soon, and a record must not be lost for it.
            for (auto& change : taken)
                pending.emplace(std::move(change.first), std::move(change.second));
            changed.notify_all();
            if (!quitting)
                changed.wait_for(lock, std::chrono::seconds(1), [this] { return quitting; });
            if (quitting)
                return;
            continue;
        }
        changed.notify_all();
    }
}
