#pragma once

#include "ClientEvent.h"
#include "RetryPolicy.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class InterruptWatcher;
class OwnerConnection;
class ProgressView;

// Follows the downloads one command handed to the owner: one live line each, one result line
// each. The owner queues beyond its limit. The first Ctrl-C (or SIGTERM, SIGHUP) pauses them
// and waits until each has stopped. Lives on the main thread, owned by the command.
class TransferRunner : public QObject
{
    Q_OBJECT

public:
    struct Job
    {
        std::string id;
        std::string label;
        std::uint64_t offset = 0; // bytes already in the partial file when resumed
    };

    // resumeCommand: how the hint tells the user to continue.
    TransferRunner(OwnerConnection& owner, ProgressView& view, InterruptWatcher& watcher, bool jsonEcho,
                   std::string resumeCommand);

    // A download the owner accepted.
    void follow(const Job& job);
    // Failures a retry may mend are tried again this many times (0: never); quiet: no
    // "retrying in" lines.
    void setRetries(int retries);
    // A download the owner refused: its result line at once.
    void refused(const std::string& line);
    // Returns the exit status: 0 all finished, 1 any failed, 128 + signal when interrupted.
    int run();

private:
    struct Running
    {
        Job job;
        bool reported = false;
        bool progressed = false;
        bool failed = false;
        // The partial file as last seen, for a download the component reports no progress of.
        qint64 sampledBytes = 0;
        qint64 sampledAt = -1;
        // Told when the download has ended, with what the ended event adds; a failure a retry
        // may mend is held back until then.
        ClientEvent failure;
        bool held = false;
        bool settled = false;
        int attempts = 0;
        QObject* wait = nullptr; // the timer of a retry to come
    };
    struct Stopped
    {
        Job job;
        std::string state;
        std::uint64_t partialBytes = 0;
    };

    void onStatus(const ClientEvent& event);
    void onProgress(const ClientEvent& event);
    void onEnded(const QJsonObject& event);
    void onInterrupted(int signal);
    void onLost();
    void finishIfDone();
    void reportStopped();
    bool holdFailure(Running& run, const ClientEvent& event);
    bool retryLater(const std::string& id, const QJsonObject& ended);
    void retryNow(const std::string& id);
    // Ctrl-C: a download waiting for its retry stops as paused.
    void endWaits();
    // Rows without progress reports show what the owner does with them (queued, starting) and,
    // when the server named no size (the component reports no progress then), the partial
    // file's growth.
    void refreshStates();
    // The result line of a failed download; ended adds the HTTP status and the TLS cause.
    void reportFailure(const std::string& id, const Running& run, const QJsonObject& ended);

    OwnerConnection& owner;
    ProgressView& view;
    InterruptWatcher& watcher;
    const bool jsonEcho;
    const std::string resumeCommand;

    std::map<std::string, Running> running;
    std::vector<std::string> order; // ids in the order they were handed over
    std::vector<Stopped> stopped;   // paused or never started, in the order they stopped
    RetryPolicy retry{0};
    int failures = 0;
    int interruptedBy = 0;
    QEventLoop loop;
    QTimer statePoll;
    QElapsedTimer clock;
};
