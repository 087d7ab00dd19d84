#include "ClusterMember.h"

#include "CompletionGate.h"
#include "ConfigRead.h"
#include "Configuration.h"
#include "DownloadService.h"
#include "EventHub.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <cstdio>
#include <dlfcn.h>
#include <unistd.h>

std::string ClusterLibrary::find()
{
    if (const char* chosen = std::getenv("HAUL_CLUSTER_LIBRARY"))
        return chosen;
    // As the plugin: an installed haul takes its own library, never the build folder's.
    const QString here = QCoreApplication::applicationDirPath();
    QStringList candidates = {here + "/../lib/haulwright/libhaulcluster.so", here + "/libhaulcluster.so"};
    if (QFileInfo(here) == QFileInfo(QStringLiteral(HAUL_BUILD_PROGRAM_DIR)))
        candidates << QStringLiteral(HAUL_CLUSTER_BUILD_PATH);
    for (const QString& candidate : candidates) {
        if (!candidate.isEmpty() && QFileInfo(candidate).isFile())
            return QFileInfo(candidate).absoluteFilePath().toStdString();
    }
    return "libhaulcluster.so";
}

bool ClusterLibrary::load(std::string* error)
{
    const std::string path = find();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle) {
        startHost = reinterpret_cast<cluster::StartHostFunction>(::dlsym(handle, HAUL_CLUSTER_START_HOST));
        runCommand = reinterpret_cast<cluster::RunCommandFunction>(::dlsym(handle, HAUL_CLUSTER_RUN_COMMAND));
    }
    if (!startHost || !runCommand) {
        const char* reason = ::dlerror();
        *error = "--cluster needs " + path + " and libnats (Debian: libnats3.4): " + (reason ? reason : "not found");
        return false;
    }
    return true;
}

// The owner's services as the library sees them.
class ClusterMember::Bridge : public cluster::OwnerSide
{
public:
    Bridge(DownloadService& service, EventHub& hub, Log log)
        : service(service), hub(hub), events(hub.subscribe("", false)), log_(std::move(log))
    {
    }
    ~Bridge() override { hub.unsubscribe(events); }

    std::size_t freeSlots() override { return service.freeSlots(); }

    bool start(const std::string& id, const std::string& url, const std::string& dir, const std::string& sha1,
               int connections, cluster::Refusal* refusal) override
    {
        DownloadRequest request;
        request.id = id;
        request.url = url;
        request.dir = dir;
        request.sha1 = sha1;
        request.options.connections = connections;
        // The queue decides on another try, here or on another host.
        request.options.retries = 0;
        std::vector<std::string> ids;
        ServiceError error;
        // A NATS message is anyone's who may publish: confined as the TCP interface is.
        if (service.start({request}, ids, error, Door::Confined))
            return true;
        *refusal = cluster::Refusal{error.status, error.text, error.code};
        return false;
    }

    bool control(const std::string& action, const std::string& id, cluster::Refusal* refusal) override
    {
        ServiceError error;
        if (service.control(action, id, error))
            return true;
        *refusal = cluster::Refusal{error.status, error.text, error.code};
        return false;
    }

    std::string listJson() override
    {
        return QJsonDocument(service.list()).toJson(QJsonDocument::Compact).toStdString();
    }

    bool takeEvents(std::vector<cluster::Event>& out, int timeoutMs) override
    {
        std::vector<ServiceEvent> taken;
        const bool open = events->take(taken, timeoutMs);
        out.clear();
        for (ServiceEvent& event : taken)
            out.push_back(cluster::Event{std::move(event.name), std::move(event.session), std::move(event.json)});
        return open;
    }

    void log(int level, const std::string& text) override { log_(level, text); }

private:
    DownloadService& service;
    EventHub& hub;
    std::shared_ptr<EventHub::Subscription> events;
    Log log_;
};

ClusterMember::ClusterMember(DownloadService& service, EventHub& hub, Log log)
    : service(service), hub(hub), log(std::move(log))
{
}

ClusterMember::~ClusterMember()
{
    stop();
}

bool ClusterMember::start(const std::string& url, std::string* error)
{
    if (!library.load(error))
        return false;
    cluster::HostSettings settings;
    settings.connection = clusterConnection(url);
    std::string name;
    if (Configuration::instance().getValue("Cluster/HostName", name, 0) != 0 || name.empty()) {
        char hostName[256] = {};
        ::gethostname(hostName, sizeof hostName - 1);
        name = std::string(hostName) + ":" + std::to_string(::getpid());
    }
    settings.hostName = name;
    settings.ackWaitSeconds = int(configInt("Cluster/AckWaitSeconds"));
    settings.maxDeliveries = int(configInt("Cluster/MaxDeliveries"));
    settings.retryDelaySeconds = int(configInt("Cluster/RetryDelaySeconds"));
    settings.recordDays = int(configInt("Cluster/RecordDays"));
    bridge.reset(new Bridge(service, hub, log));
    host.reset(library.startHost(settings, *bridge));
    cluster::Host* member = host.get();
    setCompletionGate(
        [member](const std::string& id) { return member->mayComplete(id) ? Completion::Proceed : Completion::Drop; });
    return true;
}

void ClusterMember::stopTaking()
{
    if (host)
        host->stopTaking();
}

void ClusterMember::stop()
{
    setCompletionGate(nullptr);
    if (host)
        host->stop();
    host.reset();
    bridge.reset();
}

cluster::Connection clusterConnection(const std::string& url)
{
    cluster::Connection connection;
    connection.url = url;
    const std::pair<const char*, std::string*> files[] = {{"Cluster/CredentialsFile", &connection.credentialsFile},
                                                          {"Cluster/CAFile", &connection.caFile},
                                                          {"Cluster/CertFile", &connection.certFile},
                                                          {"Cluster/KeyFile", &connection.keyFile}};
    for (const auto& file : files) {
        std::string value;
        if (Configuration::instance().getValue(file.first, value, 0) == 0)
            *file.second = value;
    }
    connection.replicas = int(configInt("Cluster/Replicas"));
    return connection;
}

int runClusterCommand(const cluster::Command& command)
{
    ClusterLibrary library;
    std::string error;
    if (!library.load(&error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    return library.runCommand(command);
}
