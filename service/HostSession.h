#pragma once

#include "HostOptions.h"
#include "PluginLoader.h"

#include <cstddef>
#include <string>

struct IComponent;

// The service host inside the owner: configuration, logging, data directory, and the plugin's
// component from load to unload. Owned by the owner's main function; stopComponent() may run
// on another thread while the main thread keeps its event loop.
class HostSession
{
public:
    HostSession() = default;
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;
    // component stop, destroy, bus shutdown, unload: the order a host uses.
    ~HostSession();

    // Configuration file and keys, log, data directory. False with *error on failure.
    bool configure(const HostOptions& options, std::string* error);
    // The data directory options name, ending in "/", without creating anything.
    static std::string resolveDataPath(const HostOptions& options);
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
