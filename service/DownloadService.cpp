#include "DownloadService.h"

#include "ClientEvent.h"
#include "Configuration.h"
#include "EventHub.h"
#include "InputPolicy.h"
#include "LocalMessage.h"
#include "MessageBus.h"
#include "RecordState.h"
#include "RequestStore.h"
#include "StartRequestPayload.h"
#include "UUId.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <exception>

const char* const DownloadService::replyTopic = "client://haul/owner/replies";
const char* const DownloadService::controlTopic = "client://haul/owner/control";

namespace {

const char* const requestTopic = "event://Client/Service/Download";
const std::string progressPrefix = "event://Client/Service/DownloadStatus/";
// A Pause or Abort that reached the component between a start's admission and its
// registration is refused (270, 275); it is sent again after this delay.
const auto retryDelay = std::chrono::milliseconds(150);

QString text(const std::string& value)
{
    return QString::fromStdString(value);
}

std::string dataPath()
{
    std::string path;
    Configuration::instance().getValue("Directories/DataPath", path, 0);
    return path;
}

// Folders a batch needs, made one request at a time: a batch refused on the way leaves none
// of those it made behind, and never removes one that was there before.
class FolderMaker
{
public:
    FolderMaker() = default;
    FolderMaker(const FolderMaker&) = delete;
    FolderMaker& operator=(const FolderMaker&) = delete;
    ~FolderMaker()
    {
        for (auto made = created.rbegin(); made != created.rend(); ++made)
            QDir().rmdir(*made); // only while empty
    }
    bool make(const std::string& dir)
    {
        QString missing = QDir::cleanPath(text(dir));
        QStringList chain; // deepest first
        while (!QFileInfo::exists(missing)) {
            chain.append(missing);
            missing = QFileInfo(missing).path();
        }
        const bool made = QDir().mkpath(text(dir));
        for (auto folder = chain.rbegin(); folder != chain.rend(); ++folder) {
            if (QFileInfo::exists(*folder))
                created.append(*folder);
        }
        return made;
    }
    void keep() { created.clear(); }

private:
    QStringList created; // shallowest first
};

} // namespace

// Deleter of a Start or Resume message: the component holds it until the transfer has
// stopped and its completion has run, so its release is the moment the download ended.
class DownloadService::Release
{
public:
    Release(DownloadService* service, std::string id) : service(service), id(std::move(id)) {}
    void operator()(LocalMessage* message) const
    {
        delete message;
        service->released(id);
    }

private:
    DownloadService* service;
    std::string id;
};

DownloadService::DownloadService(EventHub& hub, std::size_t limit, AllowedFolders allowed)
    : hub(hub), limit(limit), allowed(std::move(allowed))
{
    // The post filter runs on the posting thread, so a download's progress, its report and
    // its release are seen in the order the component produced them.
    MessageBus::instance().setPostFilter([this](const LocalMessage& message) {
        observe(message);
        return true;
    });
    retrier = std::thread([this] { retryLoop(); });
}

DownloadService::~DownloadService()
{
    MessageBus::instance().setPostFilter({});
    {
        std::lock_guard<std::mutex> lock(mutex);
        quitting = true;
    }
    changed.notify_all();
    retrier.join();
}

bool DownloadService::checkRequest(DownloadRequest& request, Door door, ServiceError& error)
{
    if (request.url.empty()) {
        error.text = "missing url";
        return false;
    }
    error.text = inputPolicy::urlProblem(request.url);
    if (error.text.empty() && !request.sha1.empty())
        error.text = inputPolicy::sha1Problem(request.sha1);
    if (error.text.empty() && !request.id.empty())
        error.text = inputPolicy::idProblem(request.id);
    for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"dir", request.dir},
                                      {"user", request.user},
                                      {"password", request.password}}) {
        if (error.text.empty())
            error.text = inputPolicy::fieldProblem(name, value);
    }
    if (!error.text.empty())
        return false;
    if (!request.dir.empty() && !QDir::isAbsolutePath(text(request.dir))) {
        error.text = "dir must be an absolute path, got " + inputPolicy::quoted(request.dir);
        return false;
    }
    if (door == Door::Confined) {
        // The default folder is the data directory's download/, which is allowed unless the
        // setting names others; then a folder must be named.
        const std::string dir = request.dir.empty() ? dataPath() + "download" : request.dir;
        const std::string admitted = allowed.admit(dir, &error.text);
        if (admitted.empty()) {
            error.status = 403;
            return false;
        }
        if (!request.dir.empty())
            request.dir = admitted;
    }
    return true;
}

bool DownloadService::start(std::vector<DownloadRequest> requests, std::vector<std::string>& ids, ServiceError& error,
                            Door door)
{
    if (requests.empty()) {
        error = {400, "no downloads given", 0};
        return false;
    }
    if (requests.size() > inputPolicy::maxBatch) {
        error = {400, "at most " + std::to_string(inputPolicy::maxBatch) + " downloads in one request", 0};
        return false;
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        error.status = 400;
        if (!checkRequest(requests[i], door, error)) {
            error.text = "download " + std::to_string(i + 1) + ": " + error.text;
            return false;
        }
        if (requests[i].id.empty())
            requests[i].id = UUId::generate().getValue();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (refusing) {
            error = {503, "the owner is stopping", 0};
            return false;
        }
        if (entries.size() + requests.size() > maxKnown) {
            error = {503,
                     "the owner holds " + std::to_string(entries.size()) + " downloads already (at most " +
                         std::to_string(maxKnown) + "); start more once some have ended",
                     0};
            return false;
        }
        for (std::size_t i = 0; i < requests.size(); ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (requests[j].id == requests[i].id) {
                    error = {400, "the id " + requests[i].id + " is given twice", 0};
                    return false;
                }
            }
            if (entries.count(requests[i].id)) {
                error = {409, "download " + requests[i].id + " is already running", 275};
                return false;
            }
        }
    }
    FolderMaker folders;
    for (const DownloadRequest& request : requests) {
        if (!request.dir.empty() && !folders.make(request.dir)) {
            error = {400, "cannot create the folder " + inputPolicy::quoted(request.dir), 0};
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Checked again: another client may have taken an id while the folders were made.
        for (const DownloadRequest& request : requests) {
            if (entries.count(request.id)) {
                error = {409, "download " + request.id + " is already running", 275};
                return false;
            }
        }
        folders.keep();
        ids.clear();
        for (DownloadRequest& request : requests) {
            ids.push_back(request.id);
            Entry& entry = entries[request.id];
            entry.request = std::move(request);
            queue.push_back(entry.request.id);
        }
    }
    dispatch();
    return true;
}

bool DownloadService::control(const std::string& action, const std::string& id, ServiceError& error)
{
    const std::string problem = inputPolicy::idProblem(id);
    if (!problem.empty()) {
        error = {400, problem, 0};
        return false;
    }
    RequestStore::Record record;
    bool persisted = false;
    try {
        persisted = RequestStore::find(id, record);
    } catch (const std::exception& e) {
        error = {500, std::string("cannot read the persisted requests: ") + e.what(), 0};
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (refusing) {
        error = {503, "the owner is stopping", 0};
        return false;
    }
    const auto found = entries.find(id);
    if (action == "resume") {
        if (found != entries.end()) {
            error = {409, "download " + id + " is already running", 275};
            return false;
        }
        if (!persisted || record.temporalFilename.empty()) {
            error = {404, "no persisted download " + id, 269};
            return false;
        }
        Entry& entry = entries[id];
        entry.type = "Resume";
        entry.request.id = id;
        entry.request.url = record.url;
        entry.request.dir = record.destinationFolder;
        entry.offset = record.partialBytes;
        queue.push_back(id);
        lock.unlock();
        dispatch();
        return true;
    }
    if (action == "forget") {
        // Only what nothing runs: the record and its partial file go, and no server is asked.
        if (found != entries.end()) {
            error = {409,
                     "download " + id + " is " + (found->second.posted ? "running" : "queued") +
                         ": pause or abort it instead",
                     275};
            return false;
        }
        if (!persisted) {
            error = {404, "no persisted download " + id, 272};
            return false;
        }
        lock.unlock();
        post("Abort", id, controlTopic);
        return true;
    }
    const bool pause = action == "pause";
    if (found == entries.end()) {
        if (pause || !persisted) {
            error = {404, (pause ? "no running download " : "no download ") + id, pause ? 270 : 272};
            return false;
        }
        lock.unlock();
        post("Abort", id, controlTopic);
        return true;
    }
    if (!found->second.posted) {
        queue.erase(std::remove(queue.begin(), queue.end(), id), queue.end());
        entries.erase(found);
        Outcome dropped{"", 0, pause ? "not started" : "aborted before it started"};
        lock.unlock();
        publishEnded(id, &dropped);
        return true;
    }
    (pause ? found->second.pausing : found->second.aborting) = true;
    lock.unlock();
    post(pause ? "Pause" : "Abort", id, controlTopic);
    return true;
}

void DownloadService::post(const std::string& type, const std::string& id, const std::string& topic)
{
    CommonMessageProperties properties;
    properties.messageType = type;
    properties.topic = requestTopic;
    properties.replyTopic = topic;
    properties.sessionId = UUId(id);
    MessageBus::instance().post(boost::shared_ptr<LocalMessage>(new LocalMessage(properties)));
}

void DownloadService::postRequest(Entry entry)
{
    CommonMessageProperties properties;
    properties.messageType = entry.type;
    properties.topic = requestTopic;
    properties.replyTopic = replyTopic;
    properties.sessionId = UUId(entry.request.id);
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties), Release(this, entry.request.id));
    if (entry.type == "Start") {
        const DownloadRequest& request = entry.request;
        message->setPayload(boost::shared_ptr<ISerializable>(new StartRequestPayload(
            request.url, request.user, request.password, request.dir, !request.user.empty(), request.sha1)));
    }
    if (MessageBus::instance().post(message) != 0) {
        std::lock_guard<std::mutex> lock(mutex);
        outcomes[entry.request.id] = Outcome{"DownloaderError", 0, "the message bus refused the request"};
    }
    // The last reference goes here unless the bus took it.
}

void DownloadService::dispatch()
{
    std::vector<Entry> due;
    {
        std::lock_guard<std::mutex> lock(mutex);
        while (!refusing && !queue.empty() && (limit == 0 || postedCount < limit)) {
            Entry& entry = entries[queue.front()];
            queue.pop_front();
            entry.posted = true;
            entry.requeue = false;
            ++postedCount;
            outcomes.erase(entry.request.id);
            due.push_back(entry);
        }
    }
    for (Entry& entry : due)
        postRequest(std::move(entry));
}

void DownloadService::observe(const LocalMessage& message)
{
    const std::string& topic = message.getTopic();
    const bool progress = topic.compare(0, progressPrefix.size(), progressPrefix) == 0;
    const bool control = topic == controlTopic;
    if (!progress && !control && topic != replyTopic)
        return;
    const ClientEvent event = ClientEvent::fromMessage(message);
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = entries.find(event.session);
    const bool running = found != entries.end() && found->second.posted;
    if (progress && running) {
        Entry& entry = found->second;
        entry.bytes = entry.offset + event.currentBytes;
        entry.total = entry.offset + event.totalBytes;
        entry.rate = event.bytesPerSecond;
    } else if (control && event.type == "DownloaderError" && (event.code == 270 || event.code == 275)) {
        // Not registered yet: asked again shortly. Already gone: its ending was reported.
        // Either way the refusal is nobody's business.
        if (running) {
            found->second.retryType = event.code == 270 ? "Pause" : "Abort";
            found->second.retryAt = std::chrono::steady_clock::now() + retryDelay;
            changed.notify_all();
        }
        return;
    } else if (!progress && running && event.type == "DownloaderError" && event.code == 257 && postedCount > 1 &&
               !refusing) {
        // The component's places are taken (by another host's configuration or a race):
        // this one waits in the queue for the next end instead of failing.
        found->second.requeue = true;
        return;
    } else if (!progress) {
        outcomes[event.session] = Outcome{event.type, event.code, event.text};
    }
    hub.publish(ServiceEvent{"", event.session, event.toJson().toStdString()});
}

void DownloadService::released(const std::string& id)
{
    Outcome outcome;
    bool known = false;
    bool ended = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = entries.find(id);
        if (found == entries.end() || !found->second.posted)
            return;
        --postedCount;
        if (found->second.requeue && !refusing) {
            found->second.posted = false;
            queue.push_front(id);
        } else {
            const auto last = outcomes.find(id);
            known = last != outcomes.end();
            if (known)
                outcome = last->second;
            entries.erase(found);
            ended = true;
        }
        changed.notify_all();
    }
    // A requeued start waits for the next end, which frees a place in the component.
    if (ended) {
        publishEnded(id, known ? &outcome : nullptr);
        dispatch();
    }
}

void DownloadService::publishEnded(const std::string& id, const Outcome* outcome)
{
    RequestStore::Record record;
    bool persisted = false;
    bool recorded = false;
    // A finished or aborted download leaves no record; the store is read for the others only.
    const bool over = outcome && (outcome->type == "WasFinished" || outcome->type == "WasAborted");
    try {
        recorded = !over && RequestStore::find(id, record);
        persisted = recorded && record.hasPartialFile;
    } catch (const std::exception&) {
        persisted = false;
    }
    QString state = persisted ? "paused" : "stopped";
    if (outcome && !outcome->type.empty()) {
        static const std::map<std::string, QString> states = {{"WasFinished", "finished"},
                                                              {"WasFailed", "failed"},
                                                              {"WasAborted", "aborted"},
                                                              {"DownloaderError", "refused"}};
        const auto found = states.find(outcome->type);
        state = found != states.end() ? found->second : text(outcome->type);
    } else if (outcome) {
        state = "not started";
    }
    QJsonObject object;
    object.insert("session", text(id));
    object.insert("state", state);
    if (outcome) {
        object.insert("code", outcome->code);
        object.insert("text", text(outcome->text));
    }
    if (recorded && record.lastState == "failed" && outcome && outcome->type == "WasFailed")
        addFailureDetails(object, record);
    object.insert("resumable", persisted);
    object.insert("partialBytes", persisted ? static_cast<double>(record.partialBytes) : 0.0);
    hub.publish(ServiceEvent{"ended", id, QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString()});
}

void DownloadService::retryLoop()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!quitting) {
        // Asleep until a retry is due: an idle owner does not wake up for nothing.
        auto next = std::chrono::steady_clock::time_point::max();
        for (const auto& entry : entries) {
            if (!entry.second.retryType.empty())
                next = std::min(next, entry.second.retryAt);
        }
        if (next == std::chrono::steady_clock::time_point::max())
            changed.wait(lock);
        else
            changed.wait_until(lock, next);
        const auto now = std::chrono::steady_clock::now();
        std::vector<std::pair<std::string, std::string>> due;
        for (auto& entry : entries) {
            Entry& e = entry.second;
            if (!e.retryType.empty() && e.retryAt <= now && e.posted) {
                due.emplace_back(e.retryType, entry.first);
                e.retryType.clear();
            }
        }
        if (due.empty())
            continue;
        lock.unlock();
        for (const auto& request : due)
            post(request.first, request.second, controlTopic);
        lock.lock();
    }
}

QJsonObject DownloadService::list()
{
    std::vector<RequestStore::Record> records;
    try {
        records = RequestStore::records();
    } catch (const std::exception&) {
        records.clear();
    }
    QJsonArray running;
    QJsonArray persisted;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& item : entries) {
        const Entry& entry = item.second;
        QJsonObject object;
        object.insert("id", text(item.first));
        object.insert("url", text(entry.request.url));
        object.insert("state", !entry.posted    ? "queued"
                               : entry.aborting ? "aborting"
                               : entry.pausing  ? "pausing"
                                                : "running");
        object.insert("bytes", static_cast<double>(entry.bytes));
        object.insert("total", static_cast<double>(entry.total));
        object.insert("rate", static_cast<double>(entry.rate));
        running.append(object);
    }
    for (const RequestStore::Record& record : records) {
        QJsonObject object;
        object.insert("id", text(record.id));
        object.insert("url", text(record.url));
        object.insert("dir", text(record.destinationFolder));
        object.insert("partial", text(record.temporalFilename));
        object.insert("partialBytes", static_cast<double>(record.partialBytes));
        const auto last = outcomes.find(record.id);
        const auto entry = entries.find(record.id);
        if (entry != entries.end()) {
            object.insert("outcome", "running");
        } else if (last != outcomes.end()) {
            object.insert("outcome", text(last->second.type));
            object.insert("code", last->second.code);
            object.insert("text", text(last->second.text));
        }
        addRecordState(object, record, entry == entries.end() ? nullptr : &entry->second.posted);
        persisted.append(object);
    }
    QJsonObject result;
    result.insert("running", running);
    result.insert("persisted", persisted);
    return result;
}

void DownloadService::refuseNew()
{
    std::vector<std::string> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex);
        refusing = true;
        for (const std::string& id : queue) {
            entries.erase(id);
            dropped.push_back(id);
        }
        queue.clear();
        changed.notify_all();
    }
    const Outcome notStarted{"", 0, "not started"};
    for (const std::string& id : dropped)
        publishEnded(id, &notStarted);
}

bool DownloadService::waitStopped(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return postedCount == 0; });
}

std::size_t DownloadService::freeSlots()
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::size_t used = postedCount + queue.size();
    const std::size_t most = limit == 0 ? 64 : limit;
    return refusing || used >= most ? 0 : most - used;
}

bool DownloadService::idle()
{
    std::lock_guard<std::mutex> lock(mutex);
    return entries.empty();
}
