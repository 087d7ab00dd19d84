#pragma once

#include "AllowedFolders.h"
#include "DownloadRequest.h"

#include <QJsonObject>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class EventHub;
class LocalMessage;

// The owner's bridge between clients and the component on the bus: checks requests, queues
// starts beyond the limit, posts "Start", "Resume", "Pause" and "Abort", and turns what the
// component posts back into events, in the order it posts them. It learns that a transfer
// stopped (for any reason, a pause included, which has no report) when the component lets
// go of the request message that started it. Callable from any thread; owned by the owner
// and outliving the component.
class DownloadService
{
public:
    // limit: downloads posted at once, 0 for no limit. allowed: where confined doors may save.
    DownloadService(EventHub& hub, std::size_t limit, AllowedFolders allowed = AllowedFolders());
    ~DownloadService();
    DownloadService(const DownloadService&) = delete;
    DownloadService& operator=(const DownloadService&) = delete;

    // Every request is checked before any is queued or any folder made; ids are filled in for
    // those without one. door: where the requests came in, which decides the folders allowed.
    bool start(std::vector<DownloadRequest> requests, std::vector<std::string>& ids, ServiceError& error, Door door);
    // action: "pause", "resume", "abort" or "forget" (an abort that refuses a running download).
    bool control(const std::string& action, const std::string& id, ServiceError& error);
    // {"running":[...], "persisted":[...]}
    QJsonObject list();

    // Refuses further requests and drops what is queued; the caller then stops the component.
    void refuseNew();
    // True once every posted download has stopped, false after timeoutMs.
    bool waitStopped(int timeoutMs);
    bool idle();
    // Starts that would run at once: the limit less what runs and waits (64 with no limit).
    std::size_t freeSlots();

    // Downloads known at once (queued and running): beyond it a start is refused with 503.
    static constexpr std::size_t maxKnown = 10000;

    // Topics of the replies to the owner's requests.
    static const char* const replyTopic;
    static const char* const controlTopic;

private:
    struct Entry
    {
        DownloadRequest request;
        std::string type = "Start";
        bool posted = false;
        bool pausing = false;
        bool aborting = false;
        bool requeue = false;
        std::chrono::steady_clock::time_point retryAt{};
        std::string retryType; // "Pause" or "Abort" when the component was not ready for it
        std::uint64_t offset = 0;
        std::uint64_t bytes = 0;
        std::uint64_t total = 0;
        std::uint64_t rate = 0;
    };
    struct Outcome
    {
        std::string type;
        int code = 0;
        std::string text;
    };
    class Release;

    void observe(const LocalMessage& message);
    void released(const std::string& id);
    void dispatch();
    void post(const std::string& type, const std::string& id, const std::string& topic);
    void postRequest(Entry entry);
    void retryLoop();
    void publishEnded(const std::string& id, const Outcome* outcome);
    bool checkRequest(DownloadRequest& request, Door door, ServiceError& error);

    EventHub& hub;
    const std::size_t limit;
    const AllowedFolders allowed;

    // Guards every field below.
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Entry> entries; // queued and posted
    std::deque<std::string> queue;
    std::size_t postedCount = 0;
    std::map<std::string, Outcome> outcomes; // the last report of each download in this run
    bool refusing = false;
    bool quitting = false;
    std::thread retrier;
};
