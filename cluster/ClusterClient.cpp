// The cluster as the back end of haul's commands (cli/DownloadBackend.h): starts go to the
// queue, control requests to the host that holds the download, events come from the subjects
// of each download, and what a lost event would have said is read from the download's record.
#include "ClusterInterface.h"
#include "DownloadBackend.h"
#include "JsonInput.h"
#include "NatsLink.h"
#include "RetryPolicy.h"
#include "SafeText.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

namespace cluster {
namespace {

using Clock = std::chrono::steady_clock;

// A download nobody has heard of for this long is looked up in the bucket.
const auto recordCheck = std::chrono::seconds(2);
const int answerTimeoutMs = 5000;

class ClusterBackend : public DownloadBackend
{
public:
    explicit ClusterBackend(Connection connection)
        : connection(std::move(connection)), shown(withoutUserInfo(this->connection.url))
    {
        QObject::connect(&checks, &QTimer::timeout, &mainThread, [this] { checkRecords(); });
        checks.start(500);
    }

    bool connect(std::string* error)
    {
        if (!link.connect(connection, 250, error)) {
            *error = "cannot reach the cluster at " + shown + ": " + *error;
            return false;
        }
        if (!link.openStore(error)) {
            *error = "the cluster at " + shown + ": " + *error;
            return false;
        }
        return true;
    }

    // Before nats_CloseAndWait: no message handler may run on into a destroyed backend.
    void close()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
        }
        for (const auto& both : subscriptions) {
            natsSubscription_Destroy(both.second.first);
            natsSubscription_Destroy(both.second.second);
        }
        subscriptions.clear();
        link.close();
    }

    // Each download's subjects are followed from its start or control request on.
    bool listen(std::string*) override { return true; }

    bool start(const QJsonArray& downloads, std::vector<std::string>* ids, ClientEvent* refusal) override
    {
        for (const QJsonValue& value : downloads) {
            const QJsonObject download = value.toObject();
            std::string id = download.value("id").toString().toStdString();
            const bool derived = id.empty();
            if (derived)
                id = derivedId(download);
            *refusal = ClientEvent{"DownloaderError", id};
            Claim claim;
            std::uint64_t revision = 0;
            natsStatus status = NATS_OK;
            const bool recorded = link.getClaim(id, &claim, &revision, &status);
            const bool taken = recorded || (status == NATS_NOT_FOUND && link.requestQueued(id) == Link::Queued::Yes);
            // Submitted before by the same command: followed, not queued again.
            if (taken && derived) {
                follow(id);
                ids->push_back(id);
                continue;
            }
            if (taken) {
                refusal->code = number(Code::IdInUse);
                refusal->text = "the id " + id + " is taken (" + (recorded ? claim.state : "queued") +
                                (claim.host.empty() ? std::string() : " on " + claim.host) + ")";
                return false;
            }
            follow(id);
            QJsonObject request{{"id", QString::fromStdString(id)}, {"url", download.value("url")}};
            for (const char* key : {"dir", "sha1", "connections"}) {
                if (download.contains(key))
                    request.insert(key, download.value(key));
            }
            status = link.queueRequest(id, request, id);
            if (status != NATS_OK) {
                watched.erase(id);
                refusal->text = "the queue did not take it: " + describe(status);
                return false;
            }
            ids->push_back(id);
        }
        return true;
    }

    bool control(const std::string& action, const std::string& id, const QJsonObject&, ClientEvent* refusal) override
    {
        follow(id);
        const QByteArray data =
            QJsonDocument(QJsonObject{{"action", QString::fromStdString(action)}}).toJson(QJsonDocument::Compact);
        natsStatus status = NATS_OK;
        QJsonObject answer;
        bool noHost = false;
        // Twice: a host may take the request from the queue while its record is being changed.
        for (int round = 0; round < 2; ++round) {
            natsMsg* reply = nullptr;
            status = natsConnection_Request(&reply, link.connection, controlSubject(id).c_str(), data.constData(),
                                            data.size(), answerTimeoutMs);
            if (status == NATS_OK) {
                answer = messageObject(reply);
                natsMsg_Destroy(reply);
            }
            if (status != NATS_NO_RESPONDERS || round == 1)
                break;
            // Nobody holds it: a host changes its record, if it waits in the queue.
            const QByteArray asked = QJsonDocument(QJsonObject{{"action", QString::fromStdString(action)},
                                                               {"id", QString::fromStdString(id)}})
                                         .toJson(QJsonDocument::Compact);
            status = natsConnection_Request(&reply, link.connection, queuedControlSubject, asked.constData(),
                                            asked.size(), answerTimeoutMs);
            if (status != NATS_OK) {
                noHost = status == NATS_NO_RESPONDERS;
                break;
            }
            const QJsonObject queued = messageObject(reply);
            natsMsg_Destroy(reply);
            if (queued.value("ok").toBool()) {
                if (action != "resume")
                    settleLater(id, queued.value("state").toString().toStdString());
                return true;
            }
            if (queued.contains("error")) {
                answer = queued;
                break;
            }
            status = NATS_NO_RESPONDERS;
            if (!queued.value("held").toBool())
                break;
            // Taken by a host meanwhile: asked there.
            QThread::msleep(200);
        }
        if (answer.value("ok").toBool()) {
            holders[id] = answer.value("host").toString().toStdString();
            return true;
        }
        watched.erase(id);
        *refusal = ClientEvent{"DownloaderError", id};
        if (status == NATS_OK) {
            refusal->code = answer.value("code").toInt();
            refusal->text = answer.value("error").toString().toStdString();
            refusal->host = answer.value("host").toString().toStdString();
        } else {
            unheld(action, status, noHost, refusal);
        }
        return false;
    }

    // Every host's answer, in as many parts as it says; hosts that should have answered and did
    // not are named in *error, also when others answered (true then).
    bool list(QJsonArray* downloads, std::string* error) override
    {
        const std::vector<std::string> present = link.presentHosts();
        natsInbox* inbox = nullptr;
        natsSubscription* replies = nullptr;
        natsStatus status = natsInbox_Create(&inbox);
        if (status == NATS_OK)
            status = natsConnection_SubscribeSync(&replies, link.connection, inbox);
        if (status == NATS_OK)
            status = natsConnection_PublishRequest(link.connection, listSubject, inbox, "{}", 2);
        std::map<std::string, std::pair<int, int>> parts; // host: parts received, parts it has
        const auto complete = [&](const std::string& host) {
            const auto found = parts.find(host);
            return found != parts.end() && found->second.first >= found->second.second;
        };
        // Until every host known to be there answered in full, or the answers stop coming.
        for (int waitMs = 1500; status == NATS_OK; waitMs = 300) {
            if (!present.empty() && std::all_of(present.begin(), present.end(), complete))
                break;
            natsMsg* msg = nullptr;
            if (natsSubscription_NextMsg(&msg, replies, waitMs) != NATS_OK)
                break;
            const QJsonObject answer = messageObject(msg);
            natsMsg_Destroy(msg);
            const std::string host = answer.value("host").toString().toStdString();
            if (host.empty())
                continue;
            auto& got = parts[host];
            ++got.first;
            got.second = std::max(1, answer.value("parts").toInt());
            for (const QJsonValue& value : answer.value("downloads").toArray()) {
                QJsonObject download = value.toObject();
                download.insert("host", answer.value("host"));
                downloads->append(download);
            }
        }
        if (replies)
            natsSubscription_Destroy(replies);
        natsInbox_Destroy(inbox);
        std::string silent;
        for (const std::string& host : present)
            if (!parts.count(host))
                silent += (silent.empty() ? "" : ", ") + host;
        for (const auto& item : parts)
            if (!complete(item.first))
                silent += (silent.empty() ? "" : ", ") + item.first + " (in part)";
        if (parts.empty()) {
            *error = "no host of the cluster at " + shown + " answered" + (silent.empty() ? "" : " (" + silent + ")");
            return false;
        }
        if (!silent.empty())
            *error = "no answer from " + silent + ": what they hold is not listed";
        return true;
    }

    std::string name() const override { return "the cluster at " + shown; }

private:
    // The id of a download given none: the same for the same batch, URL, folder and digest (the
    // n-th of equal ones in one command: the n-th), so a command run again names what it queued.
    std::string derivedId(const QJsonObject& download)
    {
        QCryptographicHash hash(QCryptographicHash::Sha1);
        for (const char* key : {"batch", "url", "dir", "sha1"}) {
            hash.addData(download.value(key).toString().toUtf8());
            hash.addData("\n", 1);
        }
        const QByteArray digest = hash.result();
        hash.addData(QByteArray::number(equalsBefore[digest]++));
        return "b" + hash.result().toHex().left(23).toStdString();
    }

    // What a control of a queued download did, told once the command waits for it.
    void settleLater(const std::string& id, const std::string& state)
    {
        ClientEvent event{"State", id};
        event.state = state;
        QTimer::singleShot(0, &mainThread, [this, event] { settle(event); });
    }

public:
    bool pausesOnInterrupt() const override { return false; }

private:
    // Events of one download from now on. Not "haul.*.ID": that would answer its own control
    // requests and hide that no host holds the download.
    void follow(const std::string& id)
    {
        watched[id] = Clock::now();
        if (subscriptions.count(id))
            return;
        auto& both = subscriptions[id];
        natsConnection_Subscribe(&both.first, link.connection, eventSubject(id).c_str(), &onMessage, this);
        natsConnection_Subscribe(&both.second, link.connection, endedSubject(id).c_str(), &onMessage, this);
        natsConnection_Flush(link.connection);
    }

    // On the library's thread: handed to the main thread, where the commands live.
    static void onMessage(natsConnection*, natsSubscription* subscription, natsMsg* msg, void* closure)
    {
        auto* self = static_cast<ClusterBackend*>(closure);
        const bool ended = std::strncmp(natsMsg_GetSubject(msg), "haul.ended.", 11) == 0;
        const QByteArray data(natsMsg_GetData(msg), natsMsg_GetDataLength(msg));
        natsMsg_Destroy(msg);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (self->closing)
            return;
        if (ended)
            QMetaObject::invokeMethod(
                &self->mainThread, [self, data] { self->afterEvents(data); }, Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(
                &self->mainThread, [self, data] { self->take(false, data); }, Qt::QueuedConnection);
        ++self->handed[subscription];
    }

    // How a delivery ended comes on another subject, by another thread, than the reports before
    // it: taken once every event that reached this process before it is on the main thread.
    void afterEvents(const QByteArray& data)
    {
        const auto found = subscriptions.find(ClientEvent::fromJson(data).session);
        natsSubscription* events = found != subscriptions.end() ? found->second.first : nullptr;
        int pending = 0;
        std::int64_t delivered = 0;
        if (events) {
            natsSubscription_GetPending(events, &pending, nullptr);
            natsSubscription_GetDelivered(events, &delivered);
            std::lock_guard<std::mutex> lock(mutex);
            if (pending > 0 || delivered != handed[events]) {
                QTimer::singleShot(5, &mainThread, [this, data] { afterEvents(data); });
                return;
            }
        }
        QMetaObject::invokeMethod(
            &mainThread, [this, data] { take(true, data); }, Qt::QueuedConnection);
    }

    void deliver(const ClientEvent& event) const
    {
        if (onEvent)
            onEvent(event);
    }

    // What a host published, in the one shape of events.
    void take(bool ended, const QByteArray& data)
    {
        ClientEvent event = ClientEvent::fromJson(data);
        const auto found = watched.find(event.session);
        if (found != watched.end())
            found->second = Clock::now();
        if (!ended) {
            // A host forgets what it hands back for another delivery: nothing the client asked for.
            if (event.type != "Forgotten")
                deliver(event);
            return;
        }
        if (event.state != "retrying")
            return settle(event);
        const QJsonObject object = jsonObjectFrom(data.constData(), std::size_t(data.size()));
        ClientEvent retrying = event;
        retrying.type = "Retrying";
        retrying.attempt = object.value("delivery").toInt();
        retrying.retries = object.value("maxDeliveries").toInt() - 1;
        retrying.reason = RetryPolicy::reason(event.code, event.cause);
        // Handed back by a host that stopped (no code), or could not save it (its disk, folders
        // or store).
        if (retrying.reason.empty() && event.code == 0)
            retrying.reason = event.text, retrying.host.clear();
        else if (retrying.reason.empty())
            retrying.reason = "could not save (" + event.text + ")";
        retrying.delaySeconds = object.value("delaySeconds").toInt();
        deliver(retrying);
    }

    // How a download ended, or that it was paused where it is: once, from its subject or record.
    void settle(ClientEvent event)
    {
        if (!watched.erase(event.session))
            return;
        // A host says where a paused download stays by answering its pause.
        if (event.host.empty() && holders.count(event.session))
            event.host = holders[event.session];
        event.type = "State";
        if (event.state == "refused")
            event.state = "failed";
        deliver(event);
    }

    // A server restart loses the events of that moment; the record keeps how each ended.
    void checkRecords()
    {
        const auto now = Clock::now();
        std::vector<std::string> quiet;
        for (auto& item : watched) {
            if (now - item.second >= recordCheck) {
                item.second = now;
                quiet.push_back(item.first);
            }
        }
        for (const std::string& id : quiet) {
            Claim claim;
            std::uint64_t revision = 0;
            natsStatus status = NATS_OK;
            if (!link.getClaim(id, &claim, &revision, &status)) {
                // No record and no message: nobody has it and nobody will.
                if (status == NATS_NOT_FOUND && link.requestQueued(id) == Link::Queued::No) {
                    ClientEvent event{"State", id};
                    event.state = "failed";
                    event.code = number(Code::Failed);
                    event.text = "the cluster lost this request (its server lost its storage); start it again";
                    settle(event);
                }
                continue;
            }
            // Paused in the queue by another command: that ends what this one waits for.
            if (!claim.ended() && !(claim.queued() && claim.state == "paused"))
                continue;
            ClientEvent event{"State", id};
            event.state = claim.state;
            event.code = claim.code;
            event.text = claim.text;
            event.host = claim.host;
            if (claim.state == "finished")
                event.path = claim.text;
            settle(event);
        }
    }

    // Why a control request found no holder, from the download's record, with the code the
    // owner of one data directory gives for a download it does not run.
    void unheld(const std::string& action, natsStatus status, bool noHost, ClientEvent* refusal)
    {
        if (status != NATS_NO_RESPONDERS) {
            refusal->text = "no answer from its host (" + describe(status) + ")";
            return;
        }
        refusal->code = number(action == "pause"   ? Code::NothingToPause
                               : action == "abort" ? Code::NothingToAbort
                                                   : Code::CannotResume);
        Claim claim;
        std::uint64_t revision = 0;
        natsStatus lookup = NATS_OK;
        const bool recorded = link.getClaim(refusal->session, &claim, &revision, &lookup);
        if (recorded && claim.ended())
            refusal->text = "no host holds it: it " +
                            std::string(claim.state == "refused" ? "was refused" : "has " + claim.state) +
                            (claim.host.empty() ? std::string() : " on " + claim.host);
        else if (noHost)
            refusal->text = "no host of the cluster answers (a host pauses or aborts a waiting download)";
        else if (!recorded)
            refusal->text = "no host holds it (unknown id)";
        else if (action == "resume")
            refusal->text = "it is not paused (it waits in the queue)";
        else
            refusal->text = "no host holds it (waiting in the queue for another try)";
    }

    const Connection connection;
    const std::string shown; // url without user information: what messages name
    Link link;
    QObject mainThread; // what the library's threads post to
    QTimer checks;
    // Main thread only.
    std::map<std::string, std::pair<natsSubscription*, natsSubscription*>> subscriptions; // events, ended
    std::map<std::string, Clock::time_point> watched; // until settled: when last heard of
    std::map<std::string, std::string> holders;       // the host that answered a control request
    std::map<QByteArray, int> equalsBefore;           // downloads given so far, by what makes their id

    std::mutex mutex; // guards what follows
    bool closing = false;
    std::map<natsSubscription*, std::int64_t> handed; // messages posted to the main thread
};

} // namespace
} // namespace cluster

extern "C" __attribute__((visibility("default"))) int haulClusterRunCommand(const cluster::Command& command)
{
    cluster::ClusterBackend backend(command.connection);
    std::string error;
    const int status = command.run(backend.connect(&error) ? &backend : nullptr, error);
    backend.close();
    nats_CloseAndWait(2000);
    return status;
}
