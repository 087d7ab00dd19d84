#pragma once

#include "Outcome.h"

#include <QJsonArray>
#include <QJsonObject>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Where a download stands in the owner. Queued: accepted, waiting for a place (or for its next
// try); Running: handed to the component; Pausing, Aborting: asked to stop; Paused: stopped,
// what arrived kept; Failed: ended with a cause, what arrived kept for a resume; Finished and
// Aborted: over, kept as history.
enum class DownloadState
{
    Queued,
    Running,
    Pausing,
    Aborting,
    Paused,
    Failed,
    Finished,
    Aborted,
};

const char* nameOf(DownloadState state);
// False for a name that is no state.
bool stateNamed(const std::string& name, DownloadState* state);
// The component holds a transfer of it.
bool isActive(DownloadState state);
bool isOver(DownloadState state);

// The report that ended a try, as the component sent it, with its cause.
struct Report
{
    std::string type; // WasFinished, WasFailed, WasAborted, DownloaderError; empty: none yet
    int code = 0;
    std::string text;
    Cause cause;
};

// What a request may set for its download alone.
struct DownloadOptions
{
    int retries = 5;           // further tries of a failure a retry may mend
    int ignoreSslErrors = -1;  // -1: as configured; 0 no; 1 yes
    int requestTimeoutMs = -1; // -1: as configured
    std::string proxy;         // empty: as configured; "none", or scheme://host:port
    std::string userAgent;     // empty: haul/VERSION
    bool serverTime = true;    // the saved file takes the server's Last-Modified
    std::string fileName;      // the saved file's name; empty: the server's or the URL's
    std::int64_t maxRate = 0;  // bytes a second for this download; 0: no limit of its own
    int connections = 0;       // 1 to 16 at once for this file; 0: as configured
    // Added to each request, in order. An Authorization header is a credential: memory only.
    std::vector<std::pair<std::string, std::string>> headers;

    // The options that differ from the configuration, as the component reads them from a
    // request's envelope; empty when none does.
    std::string envelopeText() const;
    // The headers a record may keep: all but credentials.
    QJsonArray headersToKeep() const;
};

// One download as the owner keeps it. The credentials live in memory only.
struct Download
{
    std::string id;
    std::string url;
    std::string dir;
    std::string sha1;
    DownloadOptions options;
    DownloadState state = DownloadState::Queued;
    bool started = false;     // the component keeps a record of it: a Resume continues it
    bool interrupted = false; // it was running when the owner stopped
    Report last;
    std::string path;         // where it was saved
    std::uint64_t bytes = 0;  // of the whole file, so far
    std::uint64_t size = 0;   // of the whole file; 0 while unknown
    std::uint64_t rate = 0;   // bytes a second now
    std::uint64_t offset = 0; // bytes the current try began with
    std::string pieces;       // of a file fetched in pieces, as its last progress said them
    std::int64_t added = 0;   // seconds since 1970
    std::int64_t updated = 0;
    int tries = 0; // of the current run: the first and every retry
    std::string user;
    std::string password;
    bool transferring = false;                       // handed to the component, which has not handled it yet
    bool forgetting = false;                         // forgotten once the component has discarded its partial file
    std::chrono::steady_clock::time_point retryAt{}; // queued for a retry: not before then

    // What the store keeps: everything but the credentials and what changes by the second.
    QJsonObject toRecord() const;
    // False when text is no record of a download.
    static bool fromRecord(const std::string& id, const QJsonObject& record, Download* download);
    // As clients see it in a list.
    QJsonObject toJson() const;
};
