#pragma once

#include "HostOptions.h"

#include <string>
#include <vector>

// What `haul serve` is asked for.
struct ServeOptions
{
    HostOptions host;
    std::string listen;                   // "ADDRESS:PORT" for TCP as well; empty: the Unix socket alone
    bool allowRemote = false;             // a non-loopback ADDRESS is refused without it
    std::vector<std::string> listenHosts; // Host names besides the address; default the machine's
    std::string tokenFile;                // a token kept across starts; empty: a new one at every start
    bool idleExit = false;                // leave after Service/IdleExitSeconds with nothing to do
    std::string logLevel = "info";
    std::string cluster; // nats://HOST:PORT: also a host of that cluster
};

// The one host process of a data directory: takes its lock, loads the plugin once, serves the
// client interface, and on SIGTERM, SIGINT or SIGHUP pauses every download, waits until each
// has stopped and its record is flushed, and returns 0. Runs on the main thread, which must
// own the QCoreApplication and have blocked the three signals before any thread started.
class Owner
{
public:
    explicit Owner(ServeOptions options) : options(std::move(options)) {}
    // The exit status: 0 after a clean stop, 1 when it could not start (another owner
    // holds the data directory, the plugin is missing, ...), 2 for a bad --listen.
    int run();

    // Where a data directory's owner listens and keeps its TCP token.
    static std::string socketPath(const std::string& dataPath) { return dataPath + "haul.sock"; }
    static std::string tokenPath(const std::string& dataPath) { return dataPath + "token"; }
    // Idle seconds before an owner started on demand leaves.
    static int idleExitSeconds();

private:
    ServeOptions options;
};
