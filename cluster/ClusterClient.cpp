// `haul --cluster URL get/resume/pause/abort/list`: a client of the cluster from any machine.
// Requests go to the queue, events come from the subjects of each download, and what a lost
// event would have said is read from the download's record.
#include "ClusterInterface.h"
#include "NatsLink.h"
#include "ProgressView.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUuid>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <unistd.h>

namespace cluster {
namespace {

using Clock = std::chrono::steady_clock;

// A download nobody has heard of for this long is looked up in the bucket.
const auto recordCheck = std::chrono::seconds(2);
const int answerTimeoutMs = 5000;
const auto controlTimeout = std::chrono::seconds(30);

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string labelOf(const std::string& url)
{
    const QUrl parsed(qs(url));
    const QString name = parsed.fileName();
    return (name.isEmpty() ? parsed.host() : name).toStdString();
}

// The signals the owner's process blocks: polled, so a Ctrl-C ends the wait.
int pendingSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    const timespec none{0, 0};
    const int signal = sigtimedwait(&set, nullptr, &none);
    return signal > 0 ? signal : 0;
}

class Client
{
public:
    explicit Client(const Command& command)
        : command(command), view(command.json    ? ProgressView::Mode::Json
                                 : command.quiet ? ProgressView::Mode::Quiet
                                                 : ProgressView::Mode::Human,
                                 ::isatty(STDOUT_FILENO) != 0)
    {
    }
    ~Client()
    {
        for (natsSubscription* subscription : subscriptions)
            natsSubscription_Destroy(subscription);
        link.close();
        nats_CloseAndWait(2000);
    }

    int run()
    {
        std::string error;
        if (!link.connect(command.url, 250, &error)) {
            std::fprintf(stderr, "haul: cannot reach the cluster at %s: %s\n", command.url.c_str(), error.c_str());
            return 1;
        }
        if (!link.openStore(&error)) {
            std::fprintf(stderr, "haul: the cluster at %s: %s\n", command.url.c_str(), error.c_str());
            return 1;
        }
        if (command.command == "get")
            return get();
        if (command.command == "list")
            return list();
        return control();
    }

private:
    struct Followed
    {
        std::string label;
        Clock::time_point heard;
        std::string lastText; // of the last status report
    };
    struct Incoming
    {
        std::string subject;
        QJsonObject object;
    };

    // Events of one download from now on. Not "haul.*.ID": that would answer its own control
    // requests and hide that no host holds the download.
    void follow(const std::string& id)
    {
        for (const std::string& subject : {eventSubject(id), endedSubject(id)}) {
            natsSubscription* subscription = nullptr;
            if (natsConnection_Subscribe(&subscription, link.connection, subject.c_str(), &Client::onEvent, this) ==
                NATS_OK)
                subscriptions.push_back(subscription);
        }
    }

    static void onEvent(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
    {
        auto* self = static_cast<Client*>(closure);
        Incoming incoming{natsMsg_GetSubject(msg), messageObject(msg)};
        natsMsg_Destroy(msg);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->incoming.push_back(std::move(incoming));
        }
        self->arrived.notify_one();
    }

    int get()
    {
        std::vector<std::pair<std::string, std::string>> submitted; // id, label
        int failures = 0;
        for (const std::string& url : command.arguments) {
            const std::string id =
                command.id.empty() ? QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString() : command.id;
            const std::string label = labelOf(url);
            Claim claim;
            std::uint64_t revision = 0;
            natsStatus status = NATS_OK;
            if (link.getClaim(id, &claim, &revision, &status)) {
                ++failures;
                view.result("failed: " + label + ": the id " + id + " is taken (" + claim.state +
                            (claim.host.empty() ? std::string() : " on " + claim.host) + ")");
                continue;
            }
            if (!command.detach)
                follow(id);
            natsConnection_Flush(link.connection);
            QJsonObject request{{"id", qs(id)}, {"url", qs(url)}};
            if (!command.destination.empty())
                request.insert("dir", qs(command.destination));
            if (!command.sha1.empty())
                request.insert("sha1", qs(command.sha1));
            const QByteArray data = QJsonDocument(request).toJson(QJsonDocument::Compact);
            jsPubOptions options;
            jsPubOptions_Init(&options);
            options.MsgId = id.c_str();
            jsPubAck* ack = nullptr;
            jsErrCode code = jsErrCode(0);
            status = js_Publish(&ack, link.js, requestSubject, data.constData(), data.size(), &options, &code);
            jsPubAck_Destroy(ack);
            if (status != NATS_OK) {
                ++failures;
                view.result("failed: " + label + ": the queue did not take it: " + describe(status));
                continue;
            }
            submitted.emplace_back(id, label);
        }
        if (command.detach) {
            QJsonArray ids;
            for (const auto& item : submitted) {
                ids.append(qs(item.first));
                view.result("queued: " + item.second + " [id " + item.first + "]");
            }
            if (command.json)
                std::printf("%s\n",
                            QJsonDocument(QJsonObject{{"ids", ids}}).toJson(QJsonDocument::Compact).constData());
            return failures == 0 ? 0 : 1;
        }
        for (const auto& item : submitted)
            followed[item.first] = Followed{item.second, Clock::now(), {}};
        return await(failures);
    }

    // Follows every download in `followed` until each has ended; the exit status.
    int await(int failures)
    {
        while (!followed.empty()) {
            if (const int signal = pendingSignal()) {
                view.note("interrupted: the downloads go on in the cluster (haul --cluster " + command.url +
                          " pause ID... stops them)");
                return 128 + signal;
            }
            std::deque<Incoming> batch;
            {
                std::unique_lock<std::mutex> lock(mutex);
                arrived.wait_for(lock, std::chrono::milliseconds(200), [this] { return !incoming.empty(); });
                batch.swap(incoming);
            }
            for (const Incoming& item : batch)
                failures += take(item);
            const auto now = Clock::now();
            std::vector<std::string> quiet;
            for (const auto& item : followed) {
                if (now - item.second.heard >= recordCheck)
                    quiet.push_back(item.first);
            }
            for (const std::string& id : quiet) {
                followed[id].heard = now;
                Claim claim;
                std::uint64_t revision = 0;
                natsStatus status = NATS_OK;
                if (link.getClaim(id, &claim, &revision, &status) && claim.ended()) {
                    QJsonObject ended{{"session", qs(id)},
                                      {"state", qs(claim.state)},
                                      {"code", claim.code},
                                      {"text", qs(claim.text)},
                                      {"host", qs(claim.host)}};
                    failures += settle(id, ended);
                }
            }
        }
        return failures == 0 ? 0 : 1;
    }

    // One event; 1 when it ended its download without success.
    int take(const Incoming& item)
    {
        const std::string id = item.object.value("session").toString().toStdString();
        const auto found = followed.find(id);
        if (found == followed.end())
            return 0;
        found->second.heard = Clock::now();
        if (item.subject.compare(0, 11, "haul.ended.") == 0)
            return settle(id, item.object);
        if (command.json)
            std::printf("%s\n", QJsonDocument(item.object).toJson(QJsonDocument::Compact).constData()),
                std::fflush(stdout);
        if (item.object.contains("currentBytes")) {
            view.update(id, found->second.label,
                        static_cast<std::uint64_t>(item.object.value("currentBytes").toDouble()),
                        static_cast<std::uint64_t>(item.object.value("totalBytes").toDouble()),
                        static_cast<std::uint64_t>(item.object.value("bytesPerSecond").toDouble()));
        } else {
            found->second.lastText = item.object.value("text").toString().toStdString();
        }
        return 0;
    }

    int settle(const std::string& id, const QJsonObject& ended)
    {
        const auto found = followed.find(id);
        if (found == followed.end())
            return 0;
        const std::string label = found->second.label;
        const std::string state = ended.value("state").toString().toStdString();
        const std::string text = ended.value("text").toString().toStdString();
        const std::string host = ended.value("host").toString().toStdString();
        const int code = ended.value("code").toInt();
        const std::string on = host.empty() ? std::string() : " on " + host;
        if (state == "retrying") {
            view.note("retrying: " + label + ": " + text + " (code " + std::to_string(code) + "), after delivery " +
                      std::to_string(ended.value("delivery").toInt()) + " of " +
                      std::to_string(ended.value("maxDeliveries").toInt()) + " [id " + id + on + "]");
            return 0;
        }
        view.remove(id);
        followed.erase(found);
        if (state == "finished") {
            view.result("saved: " + text + " [id " + id + on + "]");
            return 0;
        }
        if (state == "paused")
            view.result("paused: " + label + " (" +
                        std::to_string(static_cast<qint64>(ended.value("partialBytes").toDouble())) +
                        " bytes kept) [id " + id + on + "]");
        else if (state == "aborted")
            view.result("aborted: " + label + " [id " + id + on + "]");
        else
            view.result("failed: " + label + ": " + text + " (code " + std::to_string(code) + ") [" + state + ", id " +
                        id + on + "]");
        return 1;
    }

    int control()
    {
        const std::string& action = command.command;
        int failures = 0;
        for (const std::string& id : command.arguments) {
            follow(id);
            natsConnection_Flush(link.connection);
            const QByteArray data = QJsonDocument(QJsonObject{{"action", qs(action)}}).toJson(QJsonDocument::Compact);
            natsMsg* reply = nullptr;
            const natsStatus status = natsConnection_Request(&reply, link.connection, controlSubject(id).c_str(),
                                                             data.constData(), data.size(), answerTimeoutMs);
            if (status != NATS_OK) {
                ++failures;
                view.result("failed: " + id + ": " + unheld(id, status));
                continue;
            }
            const QJsonObject answer = messageObject(reply);
            natsMsg_Destroy(reply);
            if (!answer.value("ok").toBool()) {
                ++failures;
                const int code = answer.value("code").toInt();
                view.result("failed: " + id + ": " + answer.value("error").toString().toStdString() +
                            (code ? " (code " + std::to_string(code) + ")" : "") + " [on " +
                            answer.value("host").toString().toStdString() + "]");
                continue;
            }
            followed[id] = Followed{id, Clock::now(), {}};
        }
        if (action == "resume")
            return await(failures);
        // A pause or abort is done when the holder says the download stopped.
        const auto deadline = Clock::now() + controlTimeout;
        while (!followed.empty() && Clock::now() < deadline) {
            std::deque<Incoming> batch;
            {
                std::unique_lock<std::mutex> lock(mutex);
                arrived.wait_for(lock, std::chrono::milliseconds(200), [this] { return !incoming.empty(); });
                batch.swap(incoming);
            }
            for (const Incoming& item : batch) {
                const std::string id = item.object.value("session").toString().toStdString();
                if (item.subject.compare(0, 11, "haul.ended.") != 0 || !followed.count(id))
                    continue;
                const std::string state = item.object.value("state").toString().toStdString();
                const bool wanted = state == (action == "pause" ? "paused" : "aborted");
                if (command.json)
                    std::printf("%s\n", QJsonDocument(item.object).toJson(QJsonDocument::Compact).constData());
                if (wanted && action == "pause")
                    view.result("paused: " + id + " (" +
                                std::to_string(static_cast<qint64>(item.object.value("partialBytes").toDouble())) +
                                " bytes kept on " + item.object.value("host").toString().toStdString() + ")");
                else if (wanted)
                    view.result("aborted: " + id);
                else
                    view.result("ended: " + id + ": " + state);
                failures += wanted ? 0 : 1;
                followed.erase(id);
            }
        }
        for (const auto& item : followed) {
            ++failures;
            view.result("failed: " + item.first + ": no answer");
        }
        return failures == 0 ? 0 : 1;
    }

    // Why a control request found no holder, from the download's record.
    std::string unheld(const std::string& id, natsStatus status)
    {
        if (status != NATS_NO_RESPONDERS)
            return "no answer from its host (" + describe(status) + ")";
        Claim claim;
        std::uint64_t revision = 0;
        natsStatus lookup = NATS_OK;
        if (!link.getClaim(id, &claim, &revision, &lookup))
            return "no host holds it (unknown, or still waiting in the queue)";
        if (claim.ended())
            return "no host holds it: it " +
                   std::string(claim.state == "refused" ? "was refused" : "has " + claim.state) +
                   (claim.host.empty() ? std::string() : " on " + claim.host);
        return "no host holds it (waiting in the queue for another try)";
    }

    int list()
    {
        natsInbox* inbox = nullptr;
        natsSubscription* replies = nullptr;
        natsStatus status = natsInbox_Create(&inbox);
        if (status == NATS_OK)
            status = natsConnection_SubscribeSync(&replies, link.connection, inbox);
        if (status == NATS_OK)
            status = natsConnection_PublishRequest(link.connection, listSubject, inbox, "{}", 2);
        std::map<std::string, QJsonObject> hosts;
        // Every host answers once: gathered until the answers stop coming.
        for (int waitMs = 1500; status == NATS_OK;) {
            natsMsg* msg = nullptr;
            if (natsSubscription_NextMsg(&msg, replies, waitMs) != NATS_OK)
                break;
            const QJsonObject answer = messageObject(msg);
            natsMsg_Destroy(msg);
            hosts[answer.value("host").toString().toStdString()] = answer;
            waitMs = 300;
        }
        if (replies)
            natsSubscription_Destroy(replies);
        natsInbox_Destroy(inbox);
        if (status != NATS_OK || hosts.empty()) {
            std::fprintf(stderr, "haul: no host of the cluster at %s answered\n", command.url.c_str());
            return 1;
        }
        for (const auto& item : hosts) {
            const QJsonObject& host = item.second;
            if (command.json) {
                std::printf("%s\n", QJsonDocument(host).toJson(QJsonDocument::Compact).constData());
                continue;
            }
            std::map<QString, QJsonObject> known;
            for (const char* part : {"persisted", "running"}) {
                for (const QJsonValue& value : host.value(part).toArray())
                    known[value.toObject().value("id").toString()] = value.toObject();
            }
            const QJsonArray held = host.value("held").toArray();
            std::printf("%s: %d held\n", item.first.c_str(), static_cast<int>(held.size()));
            for (const QJsonValue& value : held) {
                const QJsonObject entry = value.toObject();
                const QJsonObject& about = known[entry.value("id").toString()];
                const double bytes =
                    about.contains("bytes") ? about.value("bytes").toDouble() : about.value("partialBytes").toDouble();
                std::printf("  %s  %s  %s, %lld bytes\n", entry.value("id").toString().toUtf8().constData(),
                            about.value("url").toString().toUtf8().constData(),
                            entry.value("state").toString().toUtf8().constData(), static_cast<long long>(bytes));
            }
        }
        return 0;
    }

    const Command command;
    ProgressView view;
    Link link;
    std::vector<natsSubscription*> subscriptions;
    std::map<std::string, Followed> followed;

    // Guards incoming, filled on the library's thread.
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Incoming> incoming;
};

} // namespace
} // namespace cluster

extern "C" __attribute__((visibility("default"))) int haulClusterRunCommand(const cluster::Command& command)
{
    return cluster::Client(command).run();
}
