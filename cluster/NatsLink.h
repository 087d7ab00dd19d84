#pragma once
// The cluster's names on the NATS side and one connection with its JetStream context and
// claim bucket, shared by the host and the client commands.

#include "ClusterInterface.h"

#include <QJsonObject>
#include <cstdint>
#include <nats/nats.h>
#include <string>
#include <utility>
#include <vector>

namespace cluster {

// Start requests: a work-queue stream, one shared durable pull consumer. Each request on a
// subject of its id's own, so that whether one still waits is a question the server answers.
extern const char* const streamName;
extern const char* const requestSubjects;
extern const char* const consumerName;
// One key per download: who holds it, or how it ended. What makes a redelivery harmless.
extern const char* const bucketName;
// One key per host that joined, written again while it runs: who should answer a list.
extern const char* const hostsBucketName;
extern const char* const listSubject;
// Pause, resume and abort of a download nobody holds: one host (a queue group) answers.
extern const char* const queuedControlSubject;

// A download's id as one subject token and bucket key: itself when it is made of letters,
// digits, '-' and '_' only, otherwise "=" and its bytes in hex (no plain id starts with "=").
std::string token(const std::string& id);
std::string requestSubject(const std::string& id);
std::string eventSubject(const std::string& id);   // status and progress, as `haul --json` prints
std::string endedSubject(const std::string& id);   // how a delivery ended, as the host decided
std::string controlSubject(const std::string& id); // pause, resume, abort: the holder answers

// A message's JSON object; empty when it is too large, too deeply nested or no object.
QJsonObject messageObject(natsMsg* msg);
// "connections" of a request or record: 1 to 16; 0 (the host's own setting) for anything else.
int claimedConnections(const QJsonObject& object);

// A status with the library's last error text when it has one.
std::string describe(natsStatus status);
// True when a put failed because the record changed since it was read (on this thread).
bool isConflict(natsStatus status);

// The record of one download in the bucket.
struct Claim
{
    Claim() = default;
    Claim(std::string host, std::string state, int code, std::string text)
        : host(std::move(host)), state(std::move(state)), code(code), text(std::move(text))
    {
    }

    std::string host;  // empty: nobody holds it
    std::string state; // running, paused, retry, queued, finished, failed, aborted, refused
    int code = 0;
    std::string text;
    // Paused before any host took it: the request itself, as its message left the queue.
    std::string url, dir, sha1;
    int connections = 0;
    bool ended() const { return state == "finished" || state == "failed" || state == "aborted" || state == "refused"; }
    // Waiting in the queue (never taken, handed back, or resumed), or paused there.
    bool queued() const { return host.empty() && !ended(); }
    std::string toJson() const;
    static Claim fromJson(const char* data, int length);
};

class Link
{
public:
    Link() = default;
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // One attempt; afterwards the connection reconnects on its own forever. reconnectWaitMs
    // also paces those attempts.
    bool connect(const Connection& connection, int reconnectWaitMs, std::string* error);
    // The stream and the bucket, made when missing (the same configuration from every side).
    bool openStore(std::string* error);
    // The same, after the link is open: makes what a server lost, keeps the handles.
    bool ensureStore(std::string* error);
    // Whether a start request of id waits in the stream (taken ones stay until they end).
    enum class Queued
    {
        Yes,
        No,
        Unknown // the server did not answer
    };
    Queued requestQueued(const std::string& id);
    // Records made from now on are kept this long after their last change (0: for good); a
    // bucket that exists keeps its own.
    std::int64_t newRecordSeconds = std::int64_t(30) * 86400;
    // Copies of the stream and the buckets, when this side makes them.
    int replicas = 1;
    // Puts a start request into the queue; msgId makes a second publication within the
    // stream's duplicate window a no-op.
    natsStatus queueRequest(const std::string& id, const QJsonObject& request, const std::string& msgId);
    // This host is one that should answer lists (written again at every call), or no longer.
    void markPresent(const std::string& hostName);
    void markGone(const std::string& hostName);
    // Every host that marked itself present lately.
    std::vector<std::string> presentHosts();
    // What every host of a cluster must agree on, kept by the shared consumer: its ack wait, and
    // in its description the deliveries and the delay of a retry.
    struct Shared
    {
        int ackWaitSeconds = 30;
        int maxDeliveries = 5;
        int retryDelaySeconds = 10;
        bool operator==(const Shared& other) const
        {
            return ackWaitSeconds == other.ackWaitSeconds && maxDeliveries == other.maxDeliveries &&
                   retryDelaySeconds == other.retryDelaySeconds;
        }
        std::string describe() const;
    };
    // The shared consumer, made with *shared when missing; otherwise *shared becomes its own.
    bool openConsumer(Shared* shared, std::string* error);
    // Seconds the records are kept after their last change (0: for good); -1 unknown.
    std::int64_t recordSeconds();
    void close();

    // False with *status NATS_NOT_FOUND when there is no record (or no bucket).
    bool getClaim(const std::string& id, Claim* claim, std::uint64_t* revision, natsStatus* status);
    // Create when revision is 0, otherwise replace that revision only.
    natsStatus putClaim(const std::string& id, const Claim& claim, std::uint64_t* revision);
    void publish(const std::string& subject, const QJsonObject& object);

    natsConnection* connection = nullptr;
    jsCtx* js = nullptr;
    kvStore* kv = nullptr;
    kvStore* hosts = nullptr;
};

} // namespace cluster
