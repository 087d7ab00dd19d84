#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DownloadBackend;
class OwnerConnection;
class ProgressView;

// "haul pause ID...", "haul abort ID..." and "haul forget ID...": one request each to the owner or the cluster,
// then waits until each download has stopped or was discarded. Main thread.
class ControlCommand
{
public:
    ControlCommand(DownloadBackend& backend, ProgressView& view, bool json);

    // action: "pause", "abort" or "forget". 0 when every one was done, 1 otherwise.
    int run(const std::string& action, const std::vector<std::string>& ids);
    // "haul forget": ids, or with failed every download whose last try failed. The owner
    // refuses a running one; nothing reaches any server.
    int forget(std::vector<std::string> ids, bool failed);
    // "haul limit RATE [ID...]": the rate of each download from now on, or without ids of all
    // together until the owner stops; 0 lifts it. One data directory only.
    int limit(OwnerConnection& owner, std::int64_t rate, const std::vector<std::string>& ids);

private:
    DownloadBackend& backend;
    ProgressView& view;
    const bool json;
};
