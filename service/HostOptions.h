#pragma once

#include <string>
#include <utility>
#include <vector>

// How a host process is configured: what the global options of haul name. A plain value,
// copied into the owner a client starts on demand.
struct HostOptions
{
    std::string configFile;
    std::string dataDir;
    std::string logFile;
    std::vector<std::pair<std::string, std::string>> settings;
    bool quiet = false;
    bool verbose = false; // the plugin's log lines on standard error
};
