#pragma once

#include "PluginLoader.h"

#include <cstddef>
#include <string>

struct CommandLine;
struct IComponent;

// The service host inside haul: configuration, logging, data directory, and the plugin's
// component from load to unload. Owned by main; used from the main thread, but for stop(),
// which may run on a helper thread while the main thread keeps its event loop.
class HostSession
{
public:
    HostSession() = default;
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;
    // component stop, destroy, bus shutdown, unload: the order a host uses.
    ~HostSession();

    // Configuration file and keys, log, data directory. False with *error on failure.
    bool configure(const CommandLine& line, std::string* error);
    // Loads the plugin, creates and starts the component.
    bool startComponent(std::string* error);
    // Pauses every transfer and returns when all have left; once only.
    void stopComponent();

    const std::string& dataPath() const { return data; }
    const std::string& pluginPath() const { return plugin; }
    // "Downloader/MaxDownloads" as the component reads it; 0 when unlimited.
    std::size_t maxDownloads() const;

private:
    static std::string findPlugin();

    PluginLoader loader;
    IComponent* component = nullptr;
    bool stopped = false;
    std::string data;
    std::string plugin;
};
