#pragma once

#include "ClientEvent.h"

#include <QEventLoop>
#include <QObject>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

class BusClient;
class HostSession;
class ISerializable;
class InterruptWatcher;
class ProgressView;

// Runs a batch of starts or resumes through the component: at most `limit` in flight, the
// next one sent as each ends, one live line each, one result line each. The first Ctrl-C
// pauses what runs and stops the component. Lives on the main thread, owned by the command.
class TransferRunner : public QObject
{
    Q_OBJECT

public:
    struct Job
    {
        std::string type; // "Start" or "Resume"
        std::string id;
        std::string label;
        boost::shared_ptr<ISerializable> payload;
        std::uint64_t offset = 0; // bytes already in the partial file when resumed
    };

    // limit 0: no limit. resumeCommand: how the hint tells the user to continue.
    TransferRunner(BusClient& client, ProgressView& view, HostSession& host, InterruptWatcher& watcher,
                   std::size_t limit, std::string resumeCommand);
    ~TransferRunner() override;

    void add(const Job& job);
    // Returns the exit status: 0 all finished, 1 any failed, 130 interrupted.
    int run();

private:
    struct Running
    {
        Job job;
        bool paused = false;
    };

    void onStatus(const ClientEvent& event);
    void onProgress(const ClientEvent& event);
    void onInterrupted();
    void onStopped();
    void reportPaused();
    void startMore();
    // id by value: callers pass the id of the entry this erases.
    void end(std::string id, bool success, const std::string& line);
    void finishIfDone();

    BusClient& client;
    ProgressView& view;
    HostSession& host;
    InterruptWatcher& watcher;
    const std::size_t limit;
    const std::string resumeCommand;

    std::deque<Job> queued;
    std::map<std::string, Running> running;
    std::vector<std::string> startOrder;
    int failures = 0;
    bool interrupted = false;
    bool stopDone = false;
    int exitCode = 0;
    std::thread stopper; // runs the component's blocking stop() after an interrupt
    QEventLoop loop;
};
