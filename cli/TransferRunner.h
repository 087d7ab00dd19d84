#pragma once

#include "ClientEvent.h"

#include <QEventLoop>
#include <QObject>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class DownloadBackend;
class InterruptWatcher;
class ProgressView;

// Follows the downloads one command handed to a back end, from its events alone: one live row
// each, one result line each. The owner queues beyond its limit and tries again what a retry
// may mend, a cluster delivers again; the rows say so. The first Ctrl-C (or SIGTERM, SIGHUP)
// pauses them and waits until each has stopped, or leaves a cluster's running. Lives on the
// main thread, owned by the command.
class TransferRunner : public QObject
{
    Q_OBJECT

public:
    struct Job
    {
        std::string id;
        std::string label;
    };

    // command: "haul" and the options that name the back end again, for the hints.
    TransferRunner(DownloadBackend& backend, ProgressView& view, InterruptWatcher& watcher, bool jsonEcho,
                   std::string command);
    ~TransferRunner() override;

    // A download the owner accepted.
    void follow(const Job& job);
    // Returns the exit status: 0 all finished, 1 any failed, 128 + signal when interrupted.
    int run();

private:
    struct Stopped
    {
        Job job;
        std::uint64_t bytes = 0;
    };

    void onEvent(const ClientEvent& event);
    void onState(const Job& job, const ClientEvent& event);
    void onInterrupted(int signal);
    void onLost(const std::string& why);
    void finish(const std::string& id);
    // Stops following what still runs, with failure as its result when not empty.
    void leave(const std::string& words, const std::string& action, const std::string& failure);
    void reportStopped();
    // A hint on standard error: words, then the command that does action to ids.
    void hint(const std::string& words, const std::string& action, const std::vector<std::string>& ids);

    DownloadBackend& backend;
    ProgressView& view;
    InterruptWatcher& watcher;
    const bool jsonEcho;
    const std::string command;

    std::map<std::string, Job> running;
    std::map<std::string, bool> progressed; // a row shows figures, not a state
    std::vector<std::string> order;         // ids in the order they were handed over
    std::vector<Stopped> stopped;           // paused by Ctrl-C, in the order they stopped
    int failures = 0;
    int interruptedBy = 0;
    QEventLoop loop;
};
