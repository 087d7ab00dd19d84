#include "DownloadService.h"

#include "CallbackSink.h"
#include "ClientEvent.h"
#include "Configuration.h"
#include "DownloadBook.h"
#include "EventHub.h"
#include "HumanText.h"
#include "InputPolicy.h"
#include "JsonInput.h"
#include "LocalMessage.h"
#include "MessageBus.h"
#include "Pieces.h"
#include "RetryPolicy.h"
#include "SafeText.h"
#include "StartRequestPayload.h"
#include "UUId.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>
#include <algorithm>
#include <ctime>
#include <limits>

const char* const DownloadService::replyTopic = "client://haul/owner/replies";
const char* const DownloadService::controlTopic = "client://haul/owner/control";
const char* const DownloadService::handledTopic = "client://haul/owner/handled";
// Nobody listens: a limit that finds no transfer is kept for the download's next try anyway.
const char* const DownloadService::limitTopic = "client://haul/owner/limits";

namespace {

const char* const requestTopic = "event://Client/Service/Download";
const std::string progressPrefix = "event://Client/Service/DownloadStatus/";
// A Pause or Abort that met a transfer between its admission and its registration.
const auto repostDelay = std::chrono::milliseconds(100);

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

std::int64_t now()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::string dataPath()
{
    std::string path;
    Configuration::instance().getValue("Directories/DataPath", path, 0);
    return path;
}

std::string json(const ClientEvent& event)
{
    return event.toJson().toStdString();
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
        QString missing = QDir::cleanPath(qs(dir));
        QStringList chain; // deepest first
        while (!QFileInfo::exists(missing)) {
            chain.append(missing);
            missing = QFileInfo(missing).path();
        }
        const bool made = QDir().mkpath(qs(dir));
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

// What a client is told of a download that is over, and what it may do instead.
std::string overText(const Download& download)
{
    if (download.state == DownloadState::Finished)
        return "download " + download.id + " has finished (saved: " + download.path + ")";
    return "download " + download.id + " was aborted; start it again with haul get --id " + download.id +
           " and its URL";
}

std::string describe(const Download& download)
{
    std::string text = nameOf(download.state);
    if (download.bytes > 0)
        text += ", " + std::to_string(download.bytes) + " bytes kept";
    return text;
}

} // namespace

DownloadService::DownloadService(EventHub& hub, DownloadBook& book, Settings settings, AllowedFolders allowed)
    : hub(hub), book(book), settings(settings), allowed(std::move(allowed)), retry(new RetryPolicy()),
      overallRate(settings.maxRate)
{
    retrier = std::thread([this] { retryLoop(); });
}

DownloadService::~DownloadService()
{
    if (sink) {
        MessageBus::instance().unsubscribe(sink.get(), "");
        MessageBus::instance().setSerial(sink.get(), false);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        quitting = true;
    }
    changed.notify_all();
    retryWake.notify_all();
    retrier.join();
}

void DownloadService::open()
{
    std::vector<Download> loaded = book.load();
    // What ran when the owner stopped or died has on disk what a resume begins with.
    for (Download& download : loaded) {
        if (!isActive(download.state))
            continue;
        download.bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(0, book.partialBytes(download.id)));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (Download& download : loaded) {
            bool changedState = false;
            // It ran when the owner stopped or died: what arrived is on disk.
            if (isActive(download.state)) {
                download.state = DownloadState::Paused;
                download.interrupted = changedState = true;
            }
            if (settings.resumeOnStart && download.state == DownloadState::Paused && download.interrupted) {
                download.state = DownloadState::Queued;
                changedState = true;
            }
            download.retryAt = {};
            const std::string id = download.id;
            Download& kept = downloads[id] = std::move(download);
            if (kept.state == DownloadState::Queued)
                queue.push_back(id);
            if (changedState)
                book.save(kept);
        }
        trimHistory();
    }
    sink.reset(new CallbackSink([this](boost::shared_ptr<LocalMessage> message) { onBusMessage(message); }));
    MessageBus& bus = MessageBus::instance();
    bus.setSerial(sink.get(), true);
    for (const std::string& topic :
         {std::string(replyTopic), std::string(controlTopic), std::string(handledTopic), progressPrefix + "*"})
        bus.subscribe(sink.get(), topic);
    std::lock_guard<std::mutex> lock(mutex);
    dispatch();
}

bool DownloadService::checkRequest(DownloadRequest& request, Door door, ServiceError& error)
{
    error.status = 400;
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
                                      {"password", request.password},
                                      {"proxy", request.options.proxy}}) {
        if (error.text.empty())
            error.text = inputPolicy::fieldProblem(name, value);
    }
    if (error.text.empty() && (request.options.retries < 0 || request.options.retries > 1000))
        error.text = "retries must be from 0 to 1000";
    const std::string& proxy = request.options.proxy;
    if (error.text.empty() && !proxy.empty() && proxy != "none" &&
        (inputPolicy::urlProblem("http" + proxy.substr(std::min(proxy.find("://"), proxy.size()))) != "" ||
         (proxy.compare(0, 7, "http://") != 0 && proxy.compare(0, 9, "socks5://") != 0)))
        error.text = "proxy must be none, http://HOST:PORT or socks5://HOST:PORT, got " + inputPolicy::quoted(proxy);
    if (!error.text.empty())
        return false;
    if (!request.dir.empty() && !QDir::isAbsolutePath(qs(request.dir))) {
        error.text = "dir must be an absolute path, got " + inputPolicy::quoted(request.dir);
        return false;
    }
    // Credentials written into the URL live in memory as any others; the URL kept and shown
    // has none.
    const QUrl url(qs(request.url));
    if (!url.userInfo().isEmpty()) {
        if (request.user.empty()) {
            request.user = url.userName(QUrl::FullyDecoded).toStdString();
            request.password = url.password(QUrl::FullyDecoded).toStdString();
        }
        request.url = withoutUserInfo(request.url);
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
        const bool named = requests[i].id.empty() || inputPolicy::idProblem(requests[i].id).empty();
        if (requests[i].id.empty())
            requests[i].id = UUId::generate().getValue();
        if (!checkRequest(requests[i], door, error)) {
            error.text = "download " + std::to_string(i + 1) + ": " + error.text;
            // A refusal names the download it concerns, when its id may be named.
            if (named)
                error.session = requests[i].id;
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (requests[j].id == requests[i].id) {
                error = {400, "the id " + requests[i].id + " is given twice", 0};
                return false;
            }
        }
    }
    // A known download gives way only when asked to, and never while it runs.
    const auto conflict = [this, &error](const DownloadRequest& request) {
        const auto found = downloads.find(request.id);
        if (found == downloads.end() || isOver(found->second.state))
            return false;
        const Download& known = found->second;
        const std::string id = request.id;
        if (isActive(known.state) || known.state == DownloadState::Queued)
            error = {409,
                     "download " + id + " is already " + (known.state == DownloadState::Queued ? "queued" : "running"),
                     number(Code::IdInUse)};
        else if (!request.replace)
            error = {409,
                     "download " + id + " is known (" + describe(known) + "): resume it (haul resume " + id +
                         "), forget it (haul forget " + id + ") or start it anew with --replace",
                     number(Code::IdInUse)};
        else
            return false;
        return true;
    };
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (refusing) {
            error = {503, "the owner is stopping", 0};
            return false;
        }
        std::size_t known = 0;
        for (const auto& item : downloads)
            known += !isOver(item.second.state);
        if (known + requests.size() > maxKnown) {
            error = {503,
                     "the owner holds " + std::to_string(known) + " downloads already (at most " +
                         std::to_string(maxKnown) + "); start more once some have ended",
                     0};
            return false;
        }
        for (const DownloadRequest& request : requests) {
            if (conflict(request))
                return false;
        }
    }
    FolderMaker folders;
    for (const DownloadRequest& request : requests) {
        if (!request.dir.empty() && !folders.make(request.dir)) {
            error = {400, "cannot create the folder " + inputPolicy::quoted(request.dir), number(Code::CannotWrite),
                     request.id};
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Checked again: another client may have taken an id while the folders were made.
        for (const DownloadRequest& request : requests) {
            if (conflict(request))
                return false;
        }
        folders.keep();
        ids.clear();
        for (DownloadRequest& request : requests) {
            const auto replaced = downloads.find(request.id);
            if (replaced != downloads.end())
                forget(request.id, false);
            Download download;
            download.id = request.id;
            download.url = request.url;
            download.dir = request.dir;
            download.sha1 = request.sha1;
            download.options = request.options;
            download.user = request.user;
            download.password = request.password;
            download.added = download.updated = now();
            ids.push_back(download.id);
            Download& kept = downloads[download.id] = std::move(download);
            queue.push_back(kept.id);
            publishState(kept);
            book.save(kept);
        }
        // What runs at once is safe already: the component records it before its transfer.
        dispatch();
    }
    // Accepted once nothing of it can be lost: a stop or a crash now finds it queued.
    std::string failure;
    if (!book.sync(&failure)) {
        error = {500, "the downloads are accepted but their records could not be written: " + failure, 0};
        return false;
    }
    return true;
}

bool DownloadService::control(const std::string& action, const std::string& id, ServiceError& error,
                              const DownloadRequest& given)
{
    const std::string problem = inputPolicy::idProblem(id);
    if (!problem.empty()) {
        error = {400, problem, 0};
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (refusing && action != "pause") {
        error = {503, "the owner is stopping", 0};
        return false;
    }
    const auto found = downloads.find(id);
    const int code = action == "pause"    ? number(Code::NothingToPause)
                     : action == "resume" ? number(Code::CannotResume)
                     : action == "limit"  ? 0
                                          : number(Code::NothingToAbort);
    if (found == downloads.end()) {
        error = {404, "no download " + id, code};
        return false;
    }
    Download& download = found->second;
    const DownloadState state = download.state;
    if (download.forgetting) {
        error = {404, "download " + id + " is being forgotten", code};
        return false;
    }
    if (action == "pause") {
        if (state != DownloadState::Queued && state != DownloadState::Running && state != DownloadState::Pausing) {
            error = {409, "download " + id + " is not running (" + describe(download) + ")", code};
            return false;
        }
        transition(download, Event::Pause);
    } else if (action == "resume") {
        if (state != DownloadState::Paused && state != DownloadState::Failed) {
            const bool running = state == DownloadState::Queued || isActive(state);
            error = {running ? 409 : 404,
                     running ? "download " + id + " is already " + nameOf(state) : overText(download),
                     running ? number(Code::IdInUse) : code};
            return false;
        }
        if (!given.user.empty()) {
            download.user = given.user;
            download.password = given.password;
        }
        transition(download, Event::Resume);
    } else if (action == "abort") {
        if (isOver(state) || state == DownloadState::Aborting || download.forgetting) {
            error = {404, isOver(state) ? overText(download) : "download " + id + " is being aborted", code};
            return false;
        }
        transition(download, Event::Abort);
    } else if (action == "limit") {
        if (isOver(state)) {
            error = {409, "download " + id + " is over (" + describe(download) + ")", 0};
            return false;
        }
        download.options.maxRate = std::max<std::int64_t>(0, given.options.maxRate);
        book.save(download);
        publish(limitedEvent(id, download.options.maxRate), id);
        // Its next try reads the record; a running one hears it at its next read.
        if (isActive(state) || download.transferring)
            postLimit(id, QJsonObject{{"maxRate", static_cast<double>(download.options.maxRate)}});
        return true;
    } else if (action == "forget") {
        // Only what nothing runs or waits for: its record and its partial file go, and no
        // server is asked.
        if (isActive(state) || state == DownloadState::Queued) {
            error = {409, "download " + id + " is " + nameOf(state) + ": pause or abort it instead",
                     number(Code::IdInUse)};
            return false;
        }
        forget(id, true);
    } else {
        error = {400, "unknown action " + action, 0};
        return false;
    }
    dispatch();
    return true;
}

void DownloadService::forget(const std::string& id, bool discard)
{
    const auto found = downloads.find(id);
    if (found == downloads.end())
        return;
    Download& download = found->second;
    queue.erase(std::remove(queue.begin(), queue.end(), id), queue.end());
    if (discard && download.started && !isOver(download.state)) {
        // Gone once the component has discarded its partial file and record: it answers the Abort.
        download.forgetting = true;
        post(download, "Abort");
        return;
    }
    downloads.erase(found);
    book.erase(id);
    if (discard)
        publish(json(ClientEvent{"Forgotten", id}), id);
}

void DownloadService::transition(Download& download, Event event, const Report* report)
{
    const DownloadState state = download.state;
    switch (event) {
    case Event::Admitted:
        download.offset = download.started ? download.bytes : 0;
        download.bytes = download.offset;
        download.rate = 0;
        ++download.tries;
        ++posted;
        download.transferring = true;
        {
            // Recorded as started before it is: after a crash the component's record is there.
            const bool resume = download.started;
            download.started = true;
            enter(download, DownloadState::Running);
            post(download, resume ? "Resume" : "Start");
        }
        return;
    case Event::Pause:
        if (state == DownloadState::Queued) {
            queue.erase(std::remove(queue.begin(), queue.end(), download.id), queue.end());
            download.retryAt = {};
            enter(download, DownloadState::Paused);
        } else if (state == DownloadState::Running) {
            enter(download, DownloadState::Pausing);
            post(download, "Pause");
        }
        return;
    case Event::Resume:
        download.tries = 0;
        download.interrupted = false;
        download.retryAt = {};
        enter(download, DownloadState::Queued);
        queue.push_back(download.id);
        return;
    case Event::Abort:
        queue.erase(std::remove(queue.begin(), queue.end(), download.id), queue.end());
        if (!download.started) {
            enter(download, DownloadState::Aborted);
            return;
        }
        // What runs is stopped; what does not has its partial file and record discarded.
        enter(download, DownloadState::Aborting);
        post(download, "Abort");
        return;
    case Event::Reported: {
        download.last = *report;
        if (report->cause.bytesKept >= 0)
            download.bytes = static_cast<std::uint64_t>(report->cause.bytesKept);
        download.rate = 0;
        if (report->type == "WasFinished") {
            download.path = report->text;
            download.size = download.bytes;
            enter(download, DownloadState::Finished);
        } else if (report->type == "WasAborted") {
            enter(download, DownloadState::Aborted);
        } else if (report->type == "DownloaderError" && report->code == number(Code::CannotResume)) {
            // Its record is gone (a digest that failed takes it along): the file starts over.
            download.started = false;
            download.bytes = 0;
            enter(download, DownloadState::Queued);
            queue.push_front(download.id);
        } else {
            const std::string reason = RetryPolicy::reason(report->code, report->cause);
            if (!reason.empty() && !refusing && state != DownloadState::Pausing && state != DownloadState::Aborting &&
                download.tries <= download.options.retries) {
                const int delay = retry->delayMs(download.tries, report->cause.retryAfter);
                download.retryAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
                enter(download, DownloadState::Queued);
                ClientEvent retrying{"Retrying", download.id};
                retrying.code = report->code;
                retrying.text = report->text;
                retrying.cause = report->cause;
                retrying.attempt = download.tries;
                retrying.retries = download.options.retries;
                retrying.delaySeconds = (delay + 999) / 1000;
                retrying.reason = reason;
                publish(json(retrying), download.id);
                if (settings.note)
                    settings.note("retrying " + download.id + " in " + std::to_string(retrying.delaySeconds) + " s (" +
                                  std::to_string(retrying.attempt) + "/" + std::to_string(retrying.retries) +
                                  "): " + reason);
                changed.notify_all();
                retryWake.notify_all();
            } else {
                enter(download, DownloadState::Failed);
            }
        }
        return;
    }
    case Event::Handled:
        posted -= std::min<std::size_t>(posted, 1);
        download.transferring = false;
        changed.notify_all();
        // No report: a pause, or a stop of the owner, ended it.
        if (isActive(state)) {
            download.rate = 0;
            download.interrupted = refusing && state == DownloadState::Running;
            enter(download, DownloadState::Paused);
        }
        return;
    case Event::RetryDue:
        download.retryAt = {};
        queue.push_back(download.id);
        return;
    }
}

void DownloadService::enter(Download& download, DownloadState state)
{
    download.state = state;
    download.updated = now();
    book.save(download);
    publishState(download);
    note(download);
    if (isOver(state))
        trimHistory();
}

// What a user watching the service wants to read of each download: its start, its ends.
void DownloadService::note(const Download& download) const
{
    if (!settings.note)
        return;
    const std::string bytes = std::to_string(download.bytes) + " bytes";
    // A line each, and short: the log is read by people, and its sink may be slow.
    std::string url = withoutUserInfo(download.url);
    if (url.size() > 300)
        url = url.substr(0, 300) + "...";
    switch (download.state) {
    case DownloadState::Running:
        settings.note(
            "started " + download.id + ": " + url +
            // Not "from byte N": a file in pieces resumes at many places at once.
            (download.offset > 0 ? ", " + std::to_string(download.offset) + " bytes already there" : std::string()));
        break;
    case DownloadState::Paused:
        settings.note("paused " + download.id + ": " + bytes + " kept");
        break;
    case DownloadState::Finished:
        settings.note("finished " + download.id + ": " + download.path + ", " + bytes);
        break;
    case DownloadState::Failed:
        settings.note("failed " + download.id + ": " +
                      human::withCode(human::Report{download.last.type, download.last.code, download.last.text,
                                                    download.id, download.last.cause}) +
                      ", " + bytes + " kept");
        break;
    case DownloadState::Aborted:
        settings.note("aborted " + download.id);
        break;
    default:
        break;
    }
}

void DownloadService::publishState(const Download& download)
{
    ClientEvent event{"State", download.id};
    event.state = nameOf(download.state);
    event.bytes = download.bytes;
    event.size = download.size;
    event.path = download.path;
    event.url = download.url;
    event.interrupted = download.interrupted;
    if (download.state == DownloadState::Failed || isOver(download.state)) {
        event.code = download.last.code;
        event.text = download.last.text;
        event.cause = download.last.cause;
        if (download.state != DownloadState::Finished && download.last.code != 0)
            event.words = human::text(human::Report::fromEvent(event));
    }
    publish(json(event), download.id);
}

void DownloadService::publish(const std::string& text, const std::string& session)
{
    hub.publish(ServiceEvent{"", session, text});
}

void DownloadService::post(const Download& download, const std::string& type)
{
    CommonMessageProperties properties;
    properties.messageType = type;
    properties.topic = requestTopic;
    properties.sessionId = UUId(download.id);
    const bool transfer = type == "Start" || type == "Resume";
    properties.replyTopic = transfer ? replyTopic : controlTopic;
    if (transfer)
        properties.details = download.options.envelopeText();
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties));
    // A Resume carries credentials only; the component keeps the rest.
    if (type == "Start" || !download.user.empty())
        message->setPayload(boost::shared_ptr<ISerializable>(new StartRequestPayload(
            download.url, download.user, download.password, download.dir, !download.user.empty(), download.sha1)));
    MessageBus& bus = MessageBus::instance();
    if (!transfer) {
        bus.post(message);
        return;
    }
    const std::string id = download.id;
    const int status = bus.post(message, [id] {
        CommonMessageProperties handled;
        handled.messageType = "Handled";
        handled.topic = handledTopic;
        handled.sessionId = UUId(id);
        MessageBus::instance().post(boost::shared_ptr<LocalMessage>(new LocalMessage(handled)));
    });
    if (status != 0) {
        // The bus is shut: nothing ran; the download waits for the next start of the owner.
        posted -= std::min<std::size_t>(posted, 1);
        Download& again = downloads[id];
        again.transferring = false;
        again.interrupted = true;
        enter(again, DownloadState::Paused);
    }
}

void DownloadService::dispatch()
{
    while (!refusing && !queue.empty() && (settings.limit == 0 || posted < settings.limit)) {
        const std::string id = queue.front();
        queue.pop_front();
        const auto found = downloads.find(id);
        if (found != downloads.end() && found->second.state == DownloadState::Queued)
            transition(found->second, Event::Admitted);
    }
}

void DownloadService::onBusMessage(const boost::shared_ptr<LocalMessage>& message)
{
    const std::string& topic = message->getTopic();
    const std::string id = message->getSessionId().getValue();
    if (topic == handledTopic) {
        // A transfer that stopped without a report kept its partial file: its size is what a
        // resume begins with. Read before the lock: the store and the disk are slow. One that
        // reported (finished, failed, aborted) is no longer active and needs no reading.
        bool active = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto found = downloads.find(id);
            active = found != downloads.end() && isActive(found->second.state);
        }
        const std::int64_t kept = active ? book.partialBytes(id) : -1;
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = downloads.find(id);
        if (found != downloads.end()) {
            if (isActive(found->second.state) && kept >= 0)
                found->second.bytes = static_cast<std::uint64_t>(kept);
            transition(found->second, Event::Handled);
        } else {
            posted -= std::min<std::size_t>(posted, 1);
            changed.notify_all();
        }
        dispatch();
        return;
    }
    const ClientEvent event = ClientEvent::fromMessage(*message);
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = downloads.find(id);
    if (found == downloads.end())
        return;
    Download& download = found->second;
    if (topic.compare(0, progressPrefix.size(), progressPrefix) == 0) {
        if (!isActive(download.state))
            return;
        // The component says where the reply begins: after a 200 to a Range, at 0 again.
        const QJsonObject where = jsonObjectFrom(message->getDetails().data(), message->getDetails().size());
        if (where.contains("offset"))
            download.offset = static_cast<std::uint64_t>(std::max(0.0, where.value("offset").toDouble()));
        // Shown as they are: only a bounded text of the record's own form.
        std::vector<Piece> parts;
        const std::string text = where.value("pieces").toString().toStdString();
        download.pieces = pieces::fromText(text, std::numeric_limits<std::int64_t>::max(), parts) ? text : "";
        download.bytes = download.offset + event.currentBytes;
        download.size = event.totalBytes > 0 ? download.offset + event.totalBytes : 0;
        download.rate = event.bytesPerSecond;
        ClientEvent progress = event;
        progress.bytes = download.bytes;
        progress.size = download.size;
        publish(json(progress), id);
        return;
    }
    if (!event.isReport())
        return;
    const Report report{event.type, event.code, event.text, event.cause};
    if (topic == replyTopic) {
        publish(json(event), id);
        transition(download, Event::Reported, &report);
        dispatch();
        return;
    }
    // The answers to the owner's Pause and Abort.
    if (download.forgetting) {
        downloads.erase(found);
        book.erase(id);
        publish(json(ClientEvent{"Forgotten", id}), id);
        return;
    }
    const bool notYet = event.type == "DownloaderError" &&
                        (event.code == number(Code::NothingToPause) || event.code == number(Code::NothingToAbort) ||
                         event.code == number(Code::IdInUse));
    if (notYet && download.transferring && isActive(download.state)) {
        // Admitted but not yet registered: asked again shortly.
        reposts.push_back(Repost{std::chrono::steady_clock::now() + repostDelay, id,
                                 download.state == DownloadState::Pausing ? "Pause" : "Abort"});
        changed.notify_all();
        retryWake.notify_all();
    } else if (download.state == DownloadState::Aborting && !download.transferring &&
               (event.type == "WasAborted" || event.code == number(Code::NothingToAbort))) {
        // An abort of what did not run: the component discarded its partial file, or had none.
        publish(json(event), id);
        Report ended = report;
        ended.type = "WasAborted";
        transition(download, Event::Reported, &ended);
    }
}

void DownloadService::retryLoop()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!quitting) {
        // Asleep until something is due: an idle owner does not wake for nothing.
        auto next = std::chrono::steady_clock::time_point::max();
        for (const auto& item : downloads) {
            if (!refusing && item.second.state == DownloadState::Queued &&
                item.second.retryAt != std::chrono::steady_clock::time_point{})
                next = std::min(next, item.second.retryAt);
        }
        for (const Repost& repost : reposts)
            next = std::min(next, repost.at);
        if (next == std::chrono::steady_clock::time_point::max())
            retryWake.wait(lock);
        else
            retryWake.wait_until(lock, next);
        const auto at = std::chrono::steady_clock::now();
        for (auto& item : downloads) {
            Download& download = item.second;
            if (download.state == DownloadState::Queued &&
                download.retryAt != std::chrono::steady_clock::time_point{} && download.retryAt <= at && !refusing)
                transition(download, Event::RetryDue);
        }
        std::vector<Repost> due;
        for (auto it = reposts.begin(); it != reposts.end();) {
            if (it->at <= at) {
                due.push_back(*it);
                it = reposts.erase(it);
            } else {
                ++it;
            }
        }
        for (const Repost& repost : due) {
            const auto found = downloads.find(repost.id);
            if (found != downloads.end() && isActive(found->second.state))
                post(found->second, repost.type);
        }
        dispatch();
    }
}

void DownloadService::trimHistory()
{
    std::vector<const Download*> over;
    for (const auto& item : downloads) {
        if (isOver(item.second.state))
            over.push_back(&item.second);
    }
    if (over.size() <= settings.history)
        return;
    std::sort(over.begin(), over.end(), [](const Download* a, const Download* b) { return a->updated < b->updated; });
    std::vector<std::string> gone;
    for (std::size_t i = 0; i + settings.history < over.size(); ++i)
        gone.push_back(over[i]->id);
    for (const std::string& id : gone) {
        downloads.erase(id);
        book.erase(id);
    }
}

// {"type":"Limited","session":ID,"maxRate":N}: a limit changed; without a session the overall one.
std::string DownloadService::limitedEvent(const std::string& id, std::int64_t rate)
{
    QJsonObject event{{"type", "Limited"}, {"maxRate", static_cast<double>(rate)}};
    if (!id.empty())
        event.insert("session", qs(id));
    return QJsonDocument(event).toJson(QJsonDocument::Compact).toStdString();
}

void DownloadService::postLimit(const std::string& id, const QJsonObject& rates)
{
    CommonMessageProperties properties;
    properties.messageType = "Limit";
    properties.topic = requestTopic;
    properties.sessionId = UUId(id);
    properties.replyTopic = limitTopic;
    properties.details = QJsonDocument(rates).toJson(QJsonDocument::Compact).toStdString();
    MessageBus::instance().post(boost::shared_ptr<LocalMessage>(new LocalMessage(properties)));
}

void DownloadService::setOverallRate(std::int64_t bytesPerSecond)
{
    std::lock_guard<std::mutex> lock(mutex);
    overallRate = std::max<std::int64_t>(0, bytesPerSecond);
    postLimit(std::string(), QJsonObject{{"overallRate", static_cast<double>(overallRate)}});
    publish(limitedEvent(std::string(), overallRate), std::string());
}

QJsonObject DownloadService::list()
{
    std::vector<QJsonObject> rows;
    std::int64_t rate = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        rate = overallRate;
        std::vector<const Download*> all;
        for (const auto& item : downloads)
            all.push_back(&item.second);
        std::stable_sort(all.begin(), all.end(),
                         [](const Download* a, const Download* b) { return a->added < b->added; });
        for (const Download* download : all)
            rows.push_back(download->toJson());
    }
    QJsonArray array;
    for (const QJsonObject& row : rows)
        array.append(row);
    return QJsonObject{{"downloads", array}, {"maxRate", static_cast<double>(rate)}};
}

void DownloadService::refuseNew()
{
    std::lock_guard<std::mutex> lock(mutex);
    refusing = true;
    changed.notify_all();
    retryWake.notify_all();
}

bool DownloadService::waitStopped(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return posted == 0; });
}

std::size_t DownloadService::freeSlots()
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::size_t used = posted + queue.size();
    const std::size_t most = settings.limit == 0 ? 64 : settings.limit;
    return refusing || used >= most ? 0 : most - used;
}

bool DownloadService::idle()
{
    std::lock_guard<std::mutex> lock(mutex);
    return posted == 0 && std::none_of(downloads.begin(), downloads.end(), [](const auto& item) {
               return item.second.state == DownloadState::Queued || isActive(item.second.state);
           });
}
