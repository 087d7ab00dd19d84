#pragma once

#include "ClusterInterface.h"

#include <functional>
#include <memory>
#include <string>

class DownloadService;
class EventHub;

// libhaulcluster.so, opened on demand; never closed, as its library's threads may outlive a call.
class ClusterLibrary
{
public:
    bool load(std::string* error);
    cluster::StartHostFunction startHost = nullptr;
    cluster::RunCommandFunction runCommand = nullptr;

private:
    static std::string find();
};

// The owner as one host of a cluster (`haul serve --cluster URL`).
class ClusterMember
{
public:
    using Log = std::function<void(int level, const std::string& text)>;
    ClusterMember(DownloadService& service, EventHub& hub, Log log);
    ~ClusterMember();
    // Loads the library and starts joining (in the background: an unreachable server is
    // retried while the owner serves locally). False with *error when the library is missing.
    bool start(const std::string& url, std::string* error);
    // Before the component stops: no further request is taken.
    void stopTaking();
    // Once every transfer stopped: what is still held goes back to the queue.
    void stop();

private:
    class Bridge;
    DownloadService& service;
    EventHub& hub;
    Log log;
    std::unique_ptr<Bridge> bridge; // subscribed to the owner's events once started
    std::unique_ptr<cluster::Host> host;
    ClusterLibrary library;
};

// `haul --cluster URL COMMAND`: the exit status.
int runClusterCommand(const cluster::Command& command);

// Where the cluster named by url is and how to enter it, from the configuration's Cluster/* keys.
cluster::Connection clusterConnection(const std::string& url);
