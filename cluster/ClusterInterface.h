#pragma once
// What haul and libhaulcluster.so share: the library is opened with dlopen only when --cluster
// is given, so nothing here may need a symbol of the other side. The owner hands its services
// over as an interface of virtual functions; the library hands back a host object the same way,
// and runs a client command by handing haul a back end. Both sides are built by the same
// compiler from this tree and use the same QtCore, so standard types and Qt's values may cross;
// Qt signals may not (the library has no moc).

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class DownloadBackend;

namespace cluster {

// One event of the owner's stream: "" (a status or progress object as `haul --json` prints
// it) or "ended" (the owner's object once a download stopped).
struct Event
{
    std::string name;
    std::string session;
    std::string json;
};

// Why the owner refused something: an HTTP-like status, its text, the component's code.
struct Refusal
{
    int status = 0;
    std::string text;
    int code = 0;
};

// The owner's side, implemented over its DownloadService and EventHub. Callable from any thread.
class OwnerSide
{
public:
    virtual ~OwnerSide() = default;
    // Starts that would run at once: Downloader/MaxDownloads less what runs and is queued.
    virtual std::size_t freeSlots() = 0;
    // connections: for the file at once, 1 to 16; 0: as the host is configured.
    virtual bool start(const std::string& id, const std::string& url, const std::string& dir, const std::string& sha1,
                       int connections, Refusal* refusal) = 0;
    // action: "pause", "resume" or "abort".
    virtual bool control(const std::string& action, const std::string& id, Refusal* refusal) = 0;
    // The owner's {"downloads":[...]}, as GET /v1/downloads answers, as JSON text.
    virtual std::string listJson() = 0;
    // Waits up to timeoutMs for events; false once the owner closed its stream.
    virtual bool takeEvents(std::vector<Event>& out, int timeoutMs) = 0;
    // A line for the owner's messages; level 0 error, 1 warning, 2 info, 3 debug.
    virtual void log(int level, const std::string& text) = 0;
};

// Where the cluster is and how to enter it (--cluster and Cluster/*): hosts and clients alike.
struct Connection
{
    std::string url;             // nats://HOST:PORT or tls://HOST:PORT, several separated by commas
    std::string credentialsFile; // Cluster/CredentialsFile: a NATS user's JWT and seed
    std::string caFile;          // Cluster/CAFile: what signs the servers' certificates (TLS then)
    std::string certFile;        // Cluster/CertFile and Cluster/KeyFile: this side's certificate
    std::string keyFile;
    int replicas = 1; // Cluster/Replicas: of the queue, its consumer and the buckets, when made
};

struct HostSettings
{
    Connection connection;
    std::string hostName;       // how this host is named in claims and lists
    int ackWaitSeconds = 30;    // Cluster/AckWaitSeconds
    int maxDeliveries = 5;      // Cluster/MaxDeliveries
    int retryDelaySeconds = 10; // Cluster/RetryDelaySeconds
    int recordDays = 30;        // Cluster/RecordDays
};

// A running member of the cluster. The owner calls stopTaking() before it stops its
// component, so that no further request is taken, and stop() once every transfer stopped.
class Host
{
public:
    virtual ~Host() = default;
    virtual void stopTaking() = 0;
    // Downloads still held are handed back to the queue for another host.
    virtual void stop() = 0;
    // False when id came from the queue and this host no longer holds it: its finished file
    // must not be saved here. Called on the thread that completes the download.
    virtual bool mayComplete(const std::string& id) = 0;
};

// `haul --cluster URL COMMAND`: run is haul's command itself, which the library calls with the
// back end it opened (cli/DownloadBackend.h), or with none and why when the cluster cannot be
// reached. Its result is the exit status; the library prints nothing.
struct Command
{
    Connection connection;
    std::function<int(DownloadBackend* backend, const std::string& error)> run;
};

using StartHostFunction = Host* (*)(const HostSettings&, OwnerSide&);
using RunCommandFunction = int (*)(const Command&);

} // namespace cluster

// The library's two entry points, looked up by name.
#define HAUL_CLUSTER_START_HOST "haulClusterStartHost"
#define HAUL_CLUSTER_RUN_COMMAND "haulClusterRunCommand"
