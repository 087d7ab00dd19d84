// A host of the cluster: takes start requests from the shared consumer while it has free
// download slots, holds each one (claim in the bucket, ack deadline extended) until its
// download has ended, and answers pause, resume and abort for what it holds.
#include "ClusterInterface.h"
#include "InputPolicy.h"
#include "NatsLink.h"
#include "RetryPolicy.h"
#include "SafeText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace cluster {
namespace {

using Clock = std::chrono::steady_clock;

enum Level
{
    Error,
    Warning,
    Info,
    Debug
};

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

// A failure another try may fix: what `haul get --retries` would try again (cut short, timed
// out, a refused or reset connection, HTTP 5xx, 408, 429).
bool transient(const QJsonObject& ended)
{
    return !RetryPolicy::reason(ended.value("code").toInt(), Cause::from(ended)).empty();
}

// A failure of this host rather than of the download: its disk or folders (258), the move to the
// final name (271), its store or its stopping (5xx). Another host may well succeed.
bool hostFault(int code, int status = 0)
{
    return code == number(Code::CannotWrite) || code == number(Code::CannotSave) || status >= 500;
}

// The downloads of one answer to a list stay below this, and below half the server's limit.
const std::int64_t listPartBytes = 256 * 1024;

// Host faults in a row after which a host takes no requests for a while.
const int faultsBeforeRest = 3;
const auto restAfterFaults = std::chrono::seconds(30);

// Ack waits a host waits on a holder that said it saves the file before taking the download
// over (the holder died between its confirmation and its last record write: rare; a second copy
// is worse than the delay).
const int savingWaits = 10;

struct Held
{
    std::string state; // watching, running, saving, paused, ending
    natsMsg* msg = nullptr;
    natsMsg* newer = nullptr; // the same request delivered again to this host
    std::uint64_t revision = 0;
    std::uint64_t delivery = 1;
    Clock::time_point lastBeat;   // the server last confirmed the claim
    Clock::time_point watchUntil; // watching: when a silent holder counts as gone
    bool savingSeen = false;      // watching: the holder was saving the file, and is waited for longer
    natsSubscription* control = nullptr;
    std::string url, dir, sha1;
    int connections = 0;
    Claim final;     // ending: what the bucket keeps
    bool ack = true; // ending: ack, or hand back after nakDelayMs
    std::int64_t nakDelayMs = 0;
};

class NatsHost : public Host
{
public:
    NatsHost(const HostSettings& settings, OwnerSide& owner) : settings(settings), owner(owner)
    {
        shared = Link::Shared{settings.ackWaitSeconds, settings.maxDeliveries, settings.retryDelaySeconds};
        beatPeriod = std::chrono::milliseconds(std::max(250, shared.ackWaitSeconds * 1000 / 3));
        link.newRecordSeconds = std::int64_t(settings.recordDays) * 86400;
        puller = std::thread([this] { pullLoop(); });
        eventReader = std::thread([this] { eventLoop(); });
        beater = std::thread([this] { beatLoop(); });
    }
    ~NatsHost() override { stop(); }

    void stopTaking() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            taking = false;
        }
        changed.notify_all();
        if (puller.joinable())
            puller.join();
    }

    void stop() override
    {
        stopTaking();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return;
            stopping = true;
        }
        changed.notify_all();
        eventReader.join();
        beater.join();
        std::map<std::string, Held> left;
        {
            std::lock_guard<std::mutex> lock(mutex);
            left.swap(held);
        }
        if (listSub)
            natsSubscription_Unsubscribe(listSub);
        if (queuedSub)
            natsSubscription_Unsubscribe(queuedSub);
        for (auto& item : left) {
            if (item.second.control)
                natsSubscription_Unsubscribe(item.second.control);
        }
        // What is still held goes back to the queue: another host starts it over.
        for (auto& item : left) {
            Held& entry = item.second;
            std::uint64_t revision = entry.revision;
            if (link.kv && entry.state == "ending") {
                if (link.putClaim(item.first, entry.final, &revision) == NATS_OK) {
                    if (entry.ack)
                        natsMsg_Ack(entry.msg, nullptr);
                    else
                        natsMsg_Nak(entry.msg, nullptr);
                }
            } else if (link.kv && entry.state != "watching") {
                const std::string why = "its host " + settings.hostName + " stopped";
                link.putClaim(item.first, Claim{"", "retry", 0, why}, &revision);
                natsMsg_Nak(entry.msg, nullptr);
                // Its clients wait on for the end, wherever it comes.
                link.publish(endedSubject(item.first), QJsonObject{{"session", qs(item.first)},
                                                                   {"state", "retrying"},
                                                                   {"text", qs(why)},
                                                                   {"host", qs(settings.hostName)},
                                                                   {"delivery", static_cast<double>(entry.delivery)},
                                                                   {"maxDeliveries", shared.maxDeliveries}});
            }
            release(entry);
        }
        if (listSub)
            natsSubscription_Destroy(listSub);
        if (queuedSub)
            natsSubscription_Destroy(queuedSub);
        if (link.hosts)
            link.markGone(settings.hostName);
        if (pullSub)
            natsSubscription_Destroy(pullSub);
        listSub = pullSub = queuedSub = nullptr;
        if (link.connection)
            natsConnection_FlushTimeout(link.connection, 2000);
        link.close();
        nats_CloseAndWait(2000);
        owner.log(Info, "left the cluster");
    }

private:
    bool waitFor(Clock::duration delay)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, delay, [this] { return !taking || stopping; });
        return taking && !stopping;
    }

    bool join()
    {
        int delay = 1;
        for (int attempt = 1;; ++attempt) {
            std::string error;
            Link::Shared agreed = shared;
            if (link.connect(settings.connection, 250, &error) && link.openStore(&error) &&
                link.openConsumer(&agreed, &error) && subscribe(&error)) {
                adopt(agreed);
                return true;
            }
            link.close();
            owner.log(attempt == 1 ? Warning : Info,
                      "cannot reach the cluster at " + withoutUserInfo(settings.connection.url) + ": " + error +
                          "; serving locally, trying again in " + std::to_string(delay) + " s");
            if (!waitFor(std::chrono::seconds(delay)))
                return false;
            delay = std::min(delay * 2, 5);
        }
    }

    // The shared consumer, followed anew.
    natsStatus followQueue(natsSubscription** subscription)
    {
        jsOptions options;
        jsOptions_Init(&options);
        jsSubOptions bind;
        jsSubOptions_Init(&bind);
        bind.Stream = streamName;
        bind.Consumer = consumerName;
        bind.ManualAck = true;
        jsErrCode code = jsErrCode(0);
        return js_PullSubscribe(subscription, link.js, requestSubjects, consumerName, &options, &bind, &code);
    }

    // What the cluster agreed on before this host came holds for it too.
    void adopt(const Link::Shared& agreed)
    {
        if (!(agreed == shared))
            owner.log(Warning, "the cluster's settings differ from this host's (" + shared.describe() +
                                   "): using the cluster's, " + agreed.describe());
        const std::int64_t kept = link.recordSeconds();
        if (kept >= 0 && kept != link.newRecordSeconds)
            owner.log(Warning, "the cluster keeps its records " +
                                   (kept == 0 ? std::string("for good") : std::to_string(kept / 86400) + " days") +
                                   ", not the " + std::to_string(settings.recordDays) + " days this host asks for");
        std::lock_guard<std::mutex> lock(mutex);
        shared = agreed;
        beatPeriod = std::chrono::milliseconds(std::max(250, shared.ackWaitSeconds * 1000 / 3));
    }

    bool subscribe(std::string* error)
    {
        natsStatus status = followQueue(&pullSub);
        if (status == NATS_OK)
            status = natsConnection_Subscribe(&listSub, link.connection, listSubject, &NatsHost::onList, this);
        if (status == NATS_OK)
            status = natsConnection_QueueSubscribe(&queuedSub, link.connection, queuedControlSubject, consumerName,
                                                   &NatsHost::onQueuedControl, this);
        if (status != NATS_OK)
            *error = "cannot follow the request queue: " + describe(status);
        return status == NATS_OK;
    }

    void pullLoop()
    {
        if (!join())
            return;
        // Present before the join is told: a list right after it expects this host's answer.
        link.markPresent(settings.hostName);
        Clock::time_point presentUntil = Clock::now() + std::chrono::minutes(1);
        owner.log(Info, "joined the cluster at " + withoutUserInfo(settings.connection.url) + " as " +
                            settings.hostName + " (ack wait " + std::to_string(shared.ackWaitSeconds) + " s)");
        forgetHandedBack();
        {
            std::lock_guard<std::mutex> lock(mutex);
            joined = true;
        }
        changed.notify_all();
        // Fetches that found nothing: after idleCheck in a row, the consumer is looked for.
        int idle = 0;
        const int idleCheck = 5;
        bool failing = false;
        while (waitFor(Clock::duration::zero())) {
            if (Clock::now() >= presentUntil) {
                link.markPresent(settings.hostName);
                presentUntil = Clock::now() + std::chrono::minutes(1);
            }
            std::size_t free = owner.freeSlots();
            {
                std::lock_guard<std::mutex> lock(mutex);
                // Taken but not yet counted by the owner.
                for (const auto& item : held)
                    free -= std::min<std::size_t>(free, item.second.state == "watching");
            }
            Clock::time_point resting;
            {
                std::lock_guard<std::mutex> lock(mutex);
                resting = restUntil;
            }
            if (free == 0 || Clock::now() < resting) {
                waitFor(std::chrono::milliseconds(100));
                continue;
            }
            natsMsgList list{nullptr, 0};
            jsErrCode code = jsErrCode(0);
            const natsStatus status =
                natsSubscription_Fetch(&list, pullSub, static_cast<int>(std::min<std::size_t>(free, 64)), 1000, &code);
            if ((status == NATS_OK || status == NATS_TIMEOUT) && failing) {
                owner.log(Info, "fetching requests again");
                failing = false;
            }
            if (status == NATS_OK) {
                idle = 0;
                for (int i = 0; i < list.Count; ++i) {
                    take(list.Msgs[i]);
                    list.Msgs[i] = nullptr;
                }
            } else if (status != NATS_TIMEOUT || ++idle >= idleCheck) {
                idle = 0;
                if (status != NATS_TIMEOUT || !queueThere())
                    recoverQueue(status, &failing);
            }
            natsMsgList_Destroy(&list);
        }
    }

    // What this host kept from before a restart that the cluster has elsewhere (it was handed
    // back as the host stopped, or another host took it over): of no use here, so it goes, with
    // its partial file.
    void forgetHandedBack()
    {
        const QJsonArray downloads =
            QJsonDocument::fromJson(QByteArray::fromStdString(owner.listJson())).object().value("downloads").toArray();
        for (const QJsonValue& value : downloads) {
            const std::string id = value.toObject().value("id").toString().toStdString();
            const std::string state = value.toObject().value("state").toString().toStdString();
            if (state == "finished" || state == "aborted" || !inputPolicy::idProblem(id).empty())
                continue;
            Claim claim;
            std::uint64_t revision = 0;
            natsStatus status = NATS_OK;
            if (!link.getClaim(id, &claim, &revision, &status) || claim.host == settings.hostName)
                continue;
            Refusal ignored;
            const bool idle = state == "paused" || state == "failed";
            if (owner.control(idle ? "forget" : "abort", id, &ignored))
                owner.log(Info, "dropped " + id + ", kept here from before: the cluster has it " +
                                    (claim.host.empty() ? std::string("in its queue") : "on " + claim.host));
        }
    }

    // The shared consumer as the server has it; false only when the server says it has none.
    bool queueThere()
    {
        jsOptions options;
        jsOptions_Init(&options);
        options.Wait = 3000;
        jsConsumerInfo* info = nullptr;
        jsErrCode code = jsErrCode(0);
        const natsStatus status = js_GetConsumerInfo(&info, link.js, streamName, consumerName, &options, &code);
        jsConsumerInfo_Destroy(info);
        return !(status == NATS_NOT_FOUND || code == JSConsumerNotFoundErr || code == JSStreamNotFoundErr);
    }

    // A fetch failed, or the consumer is gone (a server that lost its storage): the stream, the
    // bucket and the consumer are made again where missing and the queue followed anew.
    void recoverQueue(natsStatus failure, bool* failing)
    {
        if (!*failing)
            owner.log(Warning, "cannot fetch requests (" +
                                   (failure == NATS_TIMEOUT ? std::string("the queue is gone") : describe(failure)) +
                                   "); making the request queue again");
        *failing = true;
        std::string error;
        natsSubscription* fresh = nullptr;
        Link::Shared agreed = shared;
        if (link.ensureStore(&error) && link.openConsumer(&agreed, &error)) {
            if (followQueue(&fresh) == NATS_OK) {
                natsSubscription_Destroy(pullSub);
                pullSub = fresh;
                link.markPresent(settings.hostName);
                return;
            }
            error = "cannot follow the request queue";
        }
        owner.log(Debug, "making the request queue again: " + error);
        waitFor(std::chrono::seconds(1));
    }

    // A request delivered to this host: started, watched, or recognised as done.
    void take(natsMsg* msg)
    {
        jsMsgMetaData* meta = nullptr;
        std::uint64_t delivery = 1;
        if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
            delivery = meta->NumDelivered;
            jsMsgMetaData_Destroy(meta);
        }
        const QJsonObject request = messageObject(msg);
        Held entry;
        const std::string id = request.value("id").toString().toStdString();
        entry.url = request.value("url").toString().toStdString();
        entry.dir = request.value("dir").toString().toStdString();
        entry.sha1 = request.value("sha1").toString().toStdString();
        entry.connections = claimedConnections(request);
        entry.msg = msg;
        entry.delivery = delivery;
        // Checked before the id names a bucket key or a subject: the message is anyone's.
        std::string problem = id.empty() || entry.url.empty() ? "no id or url" : inputPolicy::idProblem(id);
        if (problem.empty())
            problem = inputPolicy::urlProblem(entry.url);
        if (problem.empty() && natsMsg_GetSubject(msg) != requestSubject(id))
            problem = "its subject does not name its id";
        if (!problem.empty()) {
            owner.log(Warning, "dropped a request from the queue: " + problem);
            natsMsg_Term(msg, nullptr);
            natsMsg_Destroy(msg);
            return;
        }
        for (int attempt = 0; attempt < 3; ++attempt) {
            Claim claim;
            natsStatus status = NATS_OK;
            std::uint64_t revision = 0;
            if (!link.getClaim(id, &claim, &revision, &status) && status != NATS_NOT_FOUND)
                break;
            if (claim.ended()) {
                // Redelivered after its holder ended it: recorded, so never done twice.
                owner.log(Debug, id + " was already " + claim.state + " on " + claim.host);
                natsMsg_Ack(msg, nullptr);
                natsMsg_Destroy(msg);
                return;
            }
            if (claim.queued() && claim.state == "paused") {
                // Paused before anyone took it: the record keeps the request, the queue lets it go.
                if (claim.url.empty()) {
                    claim.url = entry.url;
                    claim.dir = entry.dir;
                    claim.sha1 = entry.sha1;
                    claim.connections = entry.connections;
                    status = link.putClaim(id, claim, &revision);
                    if (isConflict(status))
                        continue;
                    if (status != NATS_OK)
                        break;
                }
                owner.log(Debug, id + " is paused in the queue");
                natsMsg_Ack(msg, nullptr);
                natsMsg_Destroy(msg);
                return;
            }
            if (claim.host == settings.hostName) {
                std::lock_guard<std::mutex> lock(mutex);
                const auto found = held.find(id);
                if (found != held.end()) {
                    if (found->second.newer)
                        natsMsg_Destroy(found->second.newer);
                    found->second.newer = msg;
                    return;
                }
            } else if (!claim.host.empty()) {
                // Another host's claim: it is gone only if the claim stays still for a while.
                entry.state = "watching";
                entry.revision = revision;
                entry.watchUntil = Clock::now() + beatPeriod * 3 / 2;
                std::lock_guard<std::mutex> lock(mutex);
                if (!held.count(id)) {
                    held.emplace(id, entry);
                    return;
                }
                break;
            }
            status = link.putClaim(id, Claim{settings.hostName, "running", 0, ""}, &revision);
            if (status == NATS_OK) {
                entry.revision = revision;
                begin(id, entry);
                return;
            }
            if (!isConflict(status) && status != NATS_ERR)
                break;
        }
        // The bucket did not answer: tried again later, here or elsewhere.
        natsMsg_NakWithDelay(msg, 1000, nullptr);
        natsMsg_Destroy(msg);
    }

    // The claim is ours: follow it and hand it to the owner.
    void begin(const std::string& id, Held entry)
    {
        entry.state = "running";
        entry.lastBeat = Clock::now();
        natsConnection_Subscribe(&entry.control, link.connection, controlSubject(id).c_str(), &NatsHost::onControl,
                                 this);
        {
            std::lock_guard<std::mutex> lock(mutex);
            held[id] = entry;
        }
        owner.log(Debug, "took " + id + " (delivery " + std::to_string(entry.delivery) + ")");
        Refusal refusal;
        if (owner.start(id, entry.url, entry.dir, entry.sha1, entry.connections, &refusal))
            return;
        // Kept here from before a restart of this host: its partial file goes on.
        Refusal ignored;
        if (refusal.code == number(Code::IdInUse) && owner.control("resume", id, &ignored)) {
            owner.log(Info, "resumed " + id + ", kept here from before");
            return;
        }
        QJsonObject ended;
        ended.insert("session", qs(id));
        ended.insert("code", refusal.code);
        ended.insert("text", qs(refusal.text));
        // Still being discarded here: tried again shortly.
        const bool busy = refusal.code == number(Code::IdInUse);
        if ((busy || hostFault(refusal.code, refusal.status)) && entry.delivery < std::uint64_t(shared.maxDeliveries)) {
            handBack(id, ended, entry.delivery, refusal.code, refusal.text);
            return;
        }
        ended.insert("state", "refused");
        end(id, ended, Claim{settings.hostName, "refused", refusal.code, refusal.text}, true, 0);
    }

    // What ends a delivery here; the beat thread writes the record and acknowledges.
    void end(const std::string& id, QJsonObject ended, const Claim& final, bool ack, std::int64_t nakDelayMs)
    {
        ended.insert("host", qs(settings.hostName));
        link.publish(endedSubject(id), ended);
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto found = held.find(id);
            if (found == held.end())
                return;
            found->second.state = "ending";
            found->second.final = final;
            found->second.ack = ack;
            found->second.nakDelayMs = nakDelayMs;
        }
        changed.notify_all();
    }

    void eventLoop()
    {
        std::vector<Event> events;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping)
                    return;
            }
            if (!owner.takeEvents(events, 200)) {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait_for(lock, std::chrono::milliseconds(200), [this] { return stopping; });
                continue;
            }
            for (const Event& event : events)
                forward(event);
        }
    }

    void forward(const Event& event)
    {
        std::uint64_t delivery = 0;
        std::string state;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto found = held.find(event.session);
            if (found == held.end() || found->second.state == "watching")
                return;
            delivery = found->second.delivery;
            state = found->second.state;
        }
        const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(event.json)).object();
        if (object.value("type").toString() != "State") {
            natsConnection_Publish(link.connection, eventSubject(event.session).c_str(), event.json.data(),
                                   static_cast<int>(event.json.size()));
            return;
        }
        const std::string how = object.value("state").toString().toStdString();
        if (state == "ending" || (how != "paused" && how != "finished" && how != "aborted" && how != "failed"))
            return;
        QJsonObject ended = object;
        // The clients of the queue read what a paused download keeps here.
        ended.insert("partialBytes", object.value("bytes"));
        const int code = object.value("code").toInt();
        const std::string text = object.value("text").toString().toStdString();
        if (how == "paused") {
            // A stopping host pauses what runs and hands it back (stop): nobody's pause.
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (!taking)
                    return;
            }
            // Stays with this host, which has its partial file.
            ended.insert("host", qs(settings.hostName));
            link.publish(endedSubject(event.session), QJsonObject(ended));
            std::lock_guard<std::mutex> lock(mutex);
            const auto found = held.find(event.session);
            if (found != held.end())
                found->second.state = "paused";
            return;
        }
        if (how == "finished") {
            std::lock_guard<std::mutex> lock(mutex);
            faultsInARow = 0;
        }
        const bool again = transient(object) || hostFault(code);
        if (how == "finished" || how == "aborted" ||
            ((!again || delivery >= std::uint64_t(shared.maxDeliveries)) && code != number(Code::LimitReached))) {
            end(event.session, ended, Claim{settings.hostName, how, code, text}, true, 0);
            return;
        }
        // Worth another try, here or elsewhere; what it left here is of no use to another host.
        Refusal ignored;
        owner.control("forget", event.session, &ignored);
        handBack(event.session, ended, delivery, code, text);
    }

    // Gives a delivery back to the queue for another try after a delay, here or on another host.
    void handBack(const std::string& id, QJsonObject ended, std::uint64_t delivery, int code, const std::string& text)
    {
        const std::int64_t delayMs = code == number(Code::LimitReached) || code == number(Code::IdInUse)
                                         ? 1000
                                         : std::int64_t(shared.retryDelaySeconds) * 1000;
        ended.insert("state", "retrying");
        ended.insert("delivery", static_cast<double>(delivery));
        ended.insert("maxDeliveries", shared.maxDeliveries);
        ended.insert("delaySeconds", static_cast<double>(delayMs / 1000));
        end(id, ended, Claim{"", "retry", code, text}, false, delayMs);
        if (!hostFault(code))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        if (++faultsInARow < faultsBeforeRest)
            return;
        faultsInARow = 0;
        restUntil = Clock::now() + restAfterFaults;
        owner.log(Warning,
                  std::to_string(faultsBeforeRest) + " downloads in a row could not be saved here (" + text +
                      "): taking no requests for " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(restAfterFaults).count()) + " s");
    }

    void beatLoop()
    {
        auto nextBeat = Clock::now();
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            changed.wait_until(lock, nextBeat, [this] {
                return stopping || std::any_of(held.begin(), held.end(),
                                               [](const auto& item) { return item.second.state == "ending"; });
            });
            if (stopping || !joined) {
                nextBeat = Clock::now() + beatPeriod;
                continue;
            }
            const auto now = Clock::now();
            const bool due = now >= nextBeat;
            if (due)
                nextBeat = now + beatPeriod;
            std::vector<std::pair<std::string, Held>> work;
            for (auto& item : held) {
                Held& entry = item.second;
                if (entry.newer) {
                    natsMsg_Destroy(entry.msg);
                    entry.msg = entry.newer;
                    entry.newer = nullptr;
                }
                if (entry.state == "ending" || (entry.state == "watching" && now >= entry.watchUntil) ||
                    (due && entry.state != "watching"))
                    work.emplace_back(item.first, entry);
            }
            lock.unlock();
            for (auto& item : work)
                tend(item.first, item.second, now);
            lock.lock();
        }
    }

    // One held request's turn on the beat thread, outside the lock.
    void tend(const std::string& id, Held entry, Clock::time_point now)
    {
        if (entry.state == "watching") {
            Claim claim;
            std::uint64_t revision = 0;
            natsStatus status = NATS_OK;
            const bool found = link.getClaim(id, &claim, &revision, &status);
            // A holder that said it saves the file has it under its final name: its last record
            // write may wait out a server's failover, and a takeover now would save it twice.
            if (found && revision == entry.revision && claim.state == "saving" && !entry.savingSeen) {
                std::lock_guard<std::mutex> lock(mutex);
                const auto watched = held.find(id);
                if (watched != held.end()) {
                    watched->second.savingSeen = true;
                    watched->second.watchUntil = now + std::chrono::seconds(shared.ackWaitSeconds) * savingWaits;
                }
                return;
            }
            if (found && revision == entry.revision && !claim.ended() &&
                link.putClaim(id, Claim{settings.hostName, "running", 0, ""}, &revision) == NATS_OK) {
                owner.log(Info, "took over " + id + " from " + claim.host + ", which stopped answering");
                entry.revision = revision;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    held.erase(id);
                }
                begin(id, entry);
                return;
            }
            // Its holder is alive or it ended: the holder acknowledges it.
            if (found && claim.ended())
                natsMsg_Ack(entry.msg, nullptr);
            drop(id);
            return;
        }
        if (entry.state == "ending") {
            std::uint64_t revision = entry.revision;
            const natsStatus status = link.putClaim(id, entry.final, &revision);
            if (status != NATS_OK && !isConflict(status)) {
                // The record first: tried again at the next turn, the request kept from others.
                natsMsg_InProgress(entry.msg, nullptr);
                return;
            }
            if (status == NATS_OK) {
                if (entry.ack)
                    natsMsg_Ack(entry.msg, nullptr);
                else
                    natsMsg_NakWithDelay(entry.msg, entry.nakDelayMs, nullptr);
            }
            drop(id);
            return;
        }
        natsMsg_InProgress(entry.msg, nullptr);
        bool conflict = false;
        if (renewClaim(id, entry.state, now, &conflict))
            return;
        if (conflict && recordLost(id, entry))
            return;
        // Before another host may take it over (one ack wait after the last beat), this one lets go.
        if (conflict || now - entry.lastBeat >= std::chrono::seconds(shared.ackWaitSeconds) - beatPeriod) {
            owner.log(Warning, (conflict ? "another host took over " + id : "no answer from the cluster for " + id) +
                                   ": aborting it here");
            giveUp(id);
        }
    }

    // Writes this host's claim on a held download again (compare-and-set on the revision it
    // last wrote); true when the claim is confirmed. *conflict: the record changed meanwhile.
    bool renewClaim(const std::string& id, const std::string& state, Clock::time_point now, bool* conflict)
    {
        std::lock_guard<std::mutex> renewing(claimMutex);
        std::uint64_t revision = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto found = held.find(id);
            if (found == held.end())
                return false;
            revision = found->second.revision;
        }
        const natsStatus status = link.putClaim(id, Claim{settings.hostName, state, 0, ""}, &revision);
        // No responders on a server that answers: nothing stores records any more (it lost its
        // storage), which recordLost tells apart from another host's claim.
        *conflict = status != NATS_OK && (isConflict(status) || status == NATS_NO_RESPONDERS);
        if (status != NATS_OK)
            return false;
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = held.find(id);
        if (found != held.end()) {
            found->second.revision = revision;
            found->second.lastBeat = now;
        }
        return true;
    }

    // This host no longer holds id: its transfer stops, and its completion may not save it.
    void giveUp(const std::string& id)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (givenUp.size() >= 10000)
                givenUp.clear();
            givenUp.insert(id);
        }
        Refusal ignored;
        owner.control("abort", id, &ignored);
        drop(id);
    }

public:
    // Asked just before a finished file takes its final name. A download from the queue is saved
    // only while this host still holds it: the claim is confirmed first, so that a host that was
    // stopped or cut off for longer than the ack wait never saves what another host took over.
    bool mayComplete(const std::string& id) override
    {
        Held entry;
        {
            std::unique_lock<std::mutex> lock(mutex);
            const auto found = held.find(id);
            if (found == held.end() || found->second.state == "watching") {
                if (givenUp.count(id) || !joined)
                    return givenUp.count(id) == 0;
                lock.unlock();
                // Not taken since this host started: from the queue before a restart (resumed
                // here at the start), or not from the queue at all.
                return !heldElsewhere(id);
            }
            entry.state = found->second.state;
            entry.lastBeat = found->second.lastBeat;
        }
        Held saving = entry;
        saving.state = "saving";
        // Until another host may take it over, an unanswered write is tried again.
        const auto until = entry.lastBeat + std::chrono::seconds(shared.ackWaitSeconds) - beatPeriod;
        for (;;) {
            bool conflict = false;
            const auto now = Clock::now();
            // Confirmed as "saving": a host that finds it so waits long before it takes over.
            if (renewClaim(id, "saving", now, &conflict) || (conflict && recordLost(id, saving))) {
                std::lock_guard<std::mutex> lock(mutex);
                const auto found = held.find(id);
                if (found != held.end() && found->second.state == entry.state)
                    found->second.state = "saving";
                return true;
            }
            if (conflict || now >= until) {
                owner.log(Warning,
                          (conflict ? "another host took over " + id : "no answer from the cluster for " + id) +
                              ": not saving it here");
                giveUp(id);
                return false;
            }
            std::unique_lock<std::mutex> lock(mutex);
            if (changed.wait_for(lock, std::chrono::milliseconds(200), [this] { return stopping; }))
                return false;
        }
    }

private:
    bool heldElsewhere(const std::string& id)
    {
        Claim claim;
        std::uint64_t revision = 0;
        natsStatus status = NATS_OK;
        if (!inputPolicy::idProblem(id).empty() || !link.getClaim(id, &claim, &revision, &status))
            return false;
        // This host's, as a copy of the bucket says: confirmed by a write at that revision, since
        // the copy may lag behind the claim another host took since.
        if (claim.host == settings.hostName && !claim.ended() && link.putClaim(id, claim, &revision) == NATS_OK)
            return false;
        owner.log(Warning, id + " is the cluster's, " +
                               (claim.host.empty() ? std::string("in its queue") : "held by " + claim.host) +
                               ": not saving it here");
        return true;
    }

    // A conflict where the record is simply gone (a server that lost its storage): this host
    // still holds the download, so it writes its claim again and goes on.
    bool recordLost(const std::string& id, const Held& entry)
    {
        // The bucket may be gone with it: made again first, so that a missing record reads so.
        std::lock_guard<std::mutex> renewing(claimMutex);
        Claim claim;
        std::uint64_t revision = 0;
        natsStatus status = NATS_OK;
        std::string error;
        if (!link.ensureStore(&error))
            return false;
        if (link.getClaim(id, &claim, &revision, &status)) {
            // Written again by this host's other thread a moment ago, as this copy says: a copy
            // of the bucket may lag behind, so the claim is ours only once a write at that
            // revision takes.
            if (claim.host != settings.hostName || claim.ended() ||
                link.putClaim(id, Claim{settings.hostName, entry.state, 0, ""}, &revision) != NATS_OK)
                return false;
        } else if (status != NATS_NOT_FOUND) {
            return false;
        } else {
            revision = 0;
            if (link.putClaim(id, Claim{settings.hostName, entry.state, 0, ""}, &revision) != NATS_OK)
                return false;
            owner.log(Warning, "the record of " + id + " was gone from the cluster: written again");
        }
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = held.find(id);
        if (found != held.end()) {
            found->second.revision = revision;
            found->second.lastBeat = Clock::now();
        }
        return true;
    }

    void release(Held& entry)
    {
        if (entry.control)
            natsSubscription_Destroy(entry.control);
        entry.control = nullptr;
        if (entry.newer)
            natsMsg_Destroy(entry.newer);
        if (entry.msg)
            natsMsg_Destroy(entry.msg);
        entry.msg = entry.newer = nullptr;
    }

    void drop(const std::string& id)
    {
        Held entry;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto found = held.find(id);
            if (found == held.end())
                return;
            entry = found->second;
            held.erase(found);
        }
        if (entry.control)
            natsSubscription_Unsubscribe(entry.control);
        release(entry);
        changed.notify_all();
    }

    std::string heldId(const char* subject)
    {
        const std::string prefix = "haul.control.";
        const std::string tail =
            std::strncmp(subject, prefix.c_str(), prefix.size()) == 0 ? subject + prefix.size() : "";
        for (const auto& item : held) {
            if (token(item.first) == tail && item.second.state != "watching" && item.second.state != "ending")
                return item.first;
        }
        return std::string();
    }

    static void onControl(natsConnection* connection, natsSubscription*, natsMsg* msg, void* closure)
    {
        auto* self = static_cast<NatsHost*>(closure);
        const std::string action = messageObject(msg).value("action").toString().toStdString();
        std::string id;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            id = self->heldId(natsMsg_GetSubject(msg));
        }
        QJsonObject answer{{"id", qs(id)}, {"host", qs(self->settings.hostName)}};
        Refusal refusal{404, "not held by this host", 0};
        const bool known = action == "pause" || action == "resume" || action == "abort";
        if (!known)
            refusal = Refusal{400, "unknown action \"" + action + "\"", 0};
        if (known && !id.empty() && self->owner.control(action, id, &refusal)) {
            answer.insert("ok", true);
            if (action == "resume") {
                std::lock_guard<std::mutex> lock(self->mutex);
                const auto found = self->held.find(id);
                if (found != self->held.end() && found->second.state == "paused")
                    found->second.state = "running";
            }
        } else {
            answer.insert("error", qs(refusal.text));
            answer.insert("code", refusal.code);
            answer.insert("status", refusal.status);
        }
        if (natsMsg_GetReply(msg)) {
            const QByteArray data = QJsonDocument(answer).toJson(QJsonDocument::Compact);
            natsConnection_Publish(connection, natsMsg_GetReply(msg), data.constData(), data.size());
        }
        natsMsg_Destroy(msg);
    }

    // Pause, resume or abort of a download nobody holds, from a client: done on its record if it
    // waits in the queue (a host that takes the request honours it), by compare-and-set, so that
    // a host taking it at the same moment is noticed. Only hosts write records.
    static void onQueuedControl(natsConnection* connection, natsSubscription*, natsMsg* msg, void* closure)
    {
        auto* self = static_cast<NatsHost*>(closure);
        const QJsonObject request = messageObject(msg);
        const std::string action = request.value("action").toString().toStdString();
        const std::string id = request.value("id").toString().toStdString();
        QJsonObject answer;
        if (action != "pause" && action != "resume" && action != "abort")
            answer = QJsonObject{{"error", qs("unknown action \"" + action + "\"")}, {"code", 0}};
        else if (!inputPolicy::idProblem(id).empty())
            answer = QJsonObject{{"error", qs(inputPolicy::idProblem(id))}, {"code", 0}};
        else
            answer = self->controlQueued(action, id);
        answer.insert("host", qs(self->settings.hostName));
        if (natsMsg_GetReply(msg)) {
            const QByteArray data = QJsonDocument(answer).toJson(QJsonDocument::Compact);
            natsConnection_Publish(connection, natsMsg_GetReply(msg), data.constData(), data.size());
        }
        natsMsg_Destroy(msg);
    }

    // {"ok":true,"state":…} when done; {"held":true} when a host took it meanwhile; {} when it
    // does not wait in the queue; {"error":…} when the record could not be written.
    QJsonObject controlQueued(const std::string& action, const std::string& id)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            Claim claim;
            std::uint64_t revision = 0;
            natsStatus status = NATS_OK;
            const bool recorded = link.getClaim(id, &claim, &revision, &status);
            if (!recorded && (status != NATS_NOT_FOUND || link.requestQueued(id) != Link::Queued::Yes))
                return {};
            if (recorded && !claim.queued())
                return claim.ended() ? QJsonObject() : QJsonObject{{"held", true}};
            const bool paused = recorded && claim.state == "paused";
            if (action == "resume" && !paused)
                return {};
            if (action == "pause" && paused)
                return QJsonObject{{"ok", true}, {"state", "paused"}};
            Claim next = claim;
            next.state = action == "pause" ? "paused" : "queued";
            if (action == "abort")
                next = Claim{"", "aborted", 0, "aborted while it waited in the queue"};
            status = link.putClaim(id, next, &revision);
            if (isConflict(status))
                continue;
            if (status == NATS_OK && action == "resume" && !claim.url.empty())
                status = requeue(id, claim, revision);
            if (status != NATS_OK)
                return QJsonObject{{"error", qs("the cluster did not record it: " + describe(status))}, {"code", 0}};
            owner.log(Info,
                      id + (action == "resume" ? " goes back to the queue" : " is " + next.state + " in the queue"));
            return QJsonObject{{"ok", true}, {"state", qs(next.state)}};
        }
        return QJsonObject{{"error", "its record kept changing; try again"}, {"code", 0}};
    }

    // A download paused in the queue left it; resumed, its request goes in again, under an id of
    // its own in the duplicate window. Put back to paused when the queue does not take it.
    natsStatus requeue(const std::string& id, const Claim& claim, std::uint64_t revision)
    {
        QJsonObject request{{"id", qs(id)}, {"url", qs(claim.url)}};
        if (!claim.dir.empty())
            request.insert("dir", qs(claim.dir));
        if (!claim.sha1.empty())
            request.insert("sha1", qs(claim.sha1));
        if (claim.connections > 0)
            request.insert("connections", claim.connections);
        const natsStatus status = link.queueRequest(id, request, id + "@" + std::to_string(revision));
        if (status != NATS_OK)
            link.putClaim(id, claim, &revision);
        return status;
    }

    // The downloads this host holds for the cluster, in parts small enough for any server's
    // message limit; each part says how many there are, so a client knows when it has all.
    static void onList(natsConnection* connection, natsSubscription*, natsMsg* msg, void* closure)
    {
        auto* self = static_cast<NatsHost*>(closure);
        const char* reply = natsMsg_GetReply(msg);
        std::set<QString> holding;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            for (const auto& item : self->held)
                if (item.second.state != "watching")
                    holding.insert(qs(item.first));
        }
        std::vector<QJsonArray> parts(1);
        const std::int64_t limit = std::min(listPartBytes, natsConnection_GetMaxPayload(connection) / 2);
        std::int64_t partBytes = 0;
        const QJsonArray downloads = QJsonDocument::fromJson(QByteArray::fromStdString(self->owner.listJson()))
                                         .object()
                                         .value("downloads")
                                         .toArray();
        for (const QJsonValue& value : downloads) {
            if (!holding.count(value.toObject().value("id").toString()))
                continue;
            const int bytes = QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact).size();
            if (partBytes > 0 && partBytes + bytes > limit) {
                parts.emplace_back();
                partBytes = 0;
            }
            parts.back().append(value);
            partBytes += bytes;
        }
        for (std::size_t i = 0; reply && i < parts.size(); ++i) {
            const QJsonObject answer{{"host", qs(self->settings.hostName)},
                                     {"part", static_cast<int>(i)},
                                     {"parts", static_cast<int>(parts.size())},
                                     {"downloads", parts[i]}};
            const QByteArray data = QJsonDocument(answer).toJson(QJsonDocument::Compact);
            natsConnection_Publish(connection, reply, data.constData(), data.size());
        }
        natsMsg_Destroy(msg);
    }

    const HostSettings settings;
    OwnerSide& owner;
    // The cluster's, from the join on; the beat period follows its ack wait.
    Link::Shared shared;
    Clock::duration beatPeriod;
    Link link;
    natsSubscription* pullSub = nullptr;
    natsSubscription* listSub = nullptr;
    natsSubscription* queuedSub = nullptr;

    // One write of a claim at a time: two from this host with one revision would conflict.
    std::mutex claimMutex;
    // Guards everything below. The beat thread alone acknowledges, destroys and replaces messages.
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Held> held;
    std::set<std::string> givenUp; // taken from the queue, then lost to another host
    int faultsInARow = 0;          // host faults since the last download saved here
    Clock::time_point restUntil;   // no requests are taken before
    bool taking = true;
    bool stopping = false;
    bool joined = false;

    std::thread puller;
    std::thread eventReader;
    std::thread beater;
};

} // namespace
} // namespace cluster

extern "C" __attribute__((visibility("default"))) cluster::Host*
haulClusterStartHost(const cluster::HostSettings& settings, cluster::OwnerSide& owner)
{
    return new cluster::NatsHost(settings, owner);
}
