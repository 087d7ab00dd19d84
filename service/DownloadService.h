#pragma once

#include "AllowedFolders.h"
#include "DownloadRequest.h"

#include <QJsonObject>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CallbackSink;
class DownloadBook;
class EventHub;
class LocalMessage;
class RetryPolicy;

// The owner's one model of every download: its state, its last report and cause, its place in
// the one admission queue, its credentials (in memory only). Every change of state happens in
// transition() and is written to the book and told to the clients. The component is driven as
// any client of the bus drives it: "Start", "Resume", "Pause" and "Abort" go out, and what it
// answers comes back on the owner's topics, in the order it was posted, followed by the
// owner's own word that the component has handled a "Start" or "Resume" (which a pause ends
// without a report). Callable from any thread; owned by the owner, outliving the component.
class DownloadService
{
public:
    struct Settings
    {
        std::size_t limit = 50;     // downloads handed to the component at once; 0: no limit
        bool resumeOnStart = false; // downloads running when the owner stopped go on at its start
        std::size_t history = 500;  // finished and aborted downloads kept for the lists
        std::int64_t maxRate = 0;   // every transfer together, bytes a second; 0: no limit
        // A line for the owner's log at each start, retry, pause and end of a download.
        std::function<void(const std::string&)> note;
    };

    DownloadService(EventHub& hub, DownloadBook& book, Settings settings, AllowedFolders allowed = AllowedFolders());
    ~DownloadService();
    DownloadService(const DownloadService&) = delete;
    DownloadService& operator=(const DownloadService&) = delete;

    // Reads the book and follows the component; once the component has started.
    void open();
    // Every request is checked before any is queued or any folder made; ids are filled in for
    // those without one. door: where the requests came in, which decides the folders allowed.
    // Returns once their records are on disk.
    bool start(std::vector<DownloadRequest> requests, std::vector<std::string>& ids, ServiceError& error, Door door);
    // action: "pause", "resume" (given: user and password for the resumed transfer, may be
    // empty), "abort", "forget" (an abort that refuses what runs and asks no server) or "limit"
    // (given: options.maxRate, bytes a second for this download from now on, 0: none of its own).
    bool control(const std::string& action, const std::string& id, ServiceError& error,
                 const DownloadRequest& given = DownloadRequest());
    // Every transfer together from their next read on, until the owner stops; 0: no limit.
    void setOverallRate(std::int64_t bytesPerSecond);
    // {"downloads":[...], "maxRate": N}: every download known, oldest first, and the overall limit.
    QJsonObject list();

    // Takes no further start or resume; what waits stays queued, in the book, for the next start.
    void refuseNew();
    // True once nothing is with the component, false after timeoutMs.
    bool waitStopped(int timeoutMs);
    // Nothing waits or runs.
    bool idle();
    // Starts that would run at once: the limit less what runs and waits (64 with no limit).
    std::size_t freeSlots();

    // Topics of what the component answers the owner.
    static const char* const replyTopic;
    static const char* const controlTopic;
    static const char* const handledTopic;
    static const char* const limitTopic;
    // Downloads known at once (the history aside): beyond it a start is refused with 503.
    static constexpr std::size_t maxKnown = 10000;

private:
    // Everything that moves a download from one state to another.
    enum class Event
    {
        Admitted, // a place is free: handed to the component
        Pause,    // a client asks
        Resume,   // a client asks
        Abort,    // a client asks
        Reported, // the component sent its report
        Handled,  // the component is done with the transfer (a pause ends so)
        RetryDue, // the wait before the next try is over
    };

    void onBusMessage(const boost::shared_ptr<LocalMessage>& message);
    // Under mutex.
    void transition(Download& download, Event event, const Report* report = nullptr);
    void enter(Download& download, DownloadState state);
    void dispatch();
    void post(const Download& download, const std::string& type);
    void publishState(const Download& download);
    void postLimit(const std::string& id, const QJsonObject& rates);
    static std::string limitedEvent(const std::string& id, std::int64_t rate);
    void note(const Download& download) const;
    void publish(const std::string& json, const std::string& session);
    bool checkRequest(DownloadRequest& request, Door door, ServiceError& error);
    // discard: the component's record and partial file go too (not for a download replaced by a
    // new start of its id, which the component's start replaces itself).
    void forget(const std::string& id, bool discard);
    void trimHistory();
    void retryLoop();

    EventHub& hub;
    DownloadBook& book;
    const Settings settings;
    const AllowedFolders allowed;
    std::unique_ptr<RetryPolicy> retry;
    std::unique_ptr<CallbackSink> sink;

    // Guards every field below. Never held across a disk sync or a store read.
    std::mutex mutex;
    std::condition_variable changed;
    // Wakes the retry thread: only when a retry or a repost is scheduled, or the owner stops.
    std::condition_variable retryWake;
    std::map<std::string, Download> downloads;
    std::deque<std::string> queue; // queued and due, in order
    // A Pause or Abort the component refused because the transfer was not registered yet,
    // asked again shortly.
    struct Repost
    {
        std::chrono::steady_clock::time_point at;
        std::string id;
        std::string type;
    };
    std::vector<Repost> reposts;
    std::size_t posted = 0; // transfers handed to the component and not yet handled
    std::int64_t overallRate = 0;
    bool refusing = false;
    bool quitting = false;
    std::thread retrier;
};
