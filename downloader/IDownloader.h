#pragma once

#include "Outcome.h"

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

class LocalMessage;

enum DownloadState : std::int32_t
{
    NotStarted = 0,
    InProgress = 2,
    Paused = 3,
    Completed = 4,
    Failed = 5,
    Canceled = 6,
};

enum DownloadAction : std::int32_t
{
    ActionStart = 0,
    ActionResume = 2,
    ActionAbort = 3,
    ActionPause = 4,
};

// Why a transfer ended as it did, beyond its report. The transfer fills the cause but for
// bytesKept, which the completion sets once it knows what stays on disk.
struct TransferDetails
{
    Cause cause;
    bool provenStale = false; // the answer proved the partial file wrong (it is gone)
    // The file's time on the server (Last-Modified of the answer its bytes came in), seconds
    // since the epoch; 0 when unknown or when the request keeps the download's own time.
    std::int64_t lastModified = 0;
    // Bytes in a partial file written in pieces (as long as the whole file from the start);
    // -1: the partial file's size says it.
    std::int64_t written = -1;
};

// How the component drives one transfer. start/resume run on the delivering
// thread until the transfer has handed itself to the completion handling;
// pause/abort may come from any thread and return at once.
class IDownloader
{
public:
    virtual ~IDownloader() = default;
    virtual void start() = 0;
    virtual void resume() = 0;
    virtual void abort() = 0;
    virtual void pause() = 0;
    virtual DownloadState getState() = 0;
    virtual std::int32_t getResultCode() = 0;
    virtual std::string getStatusMessage() = 0;
    virtual boost::shared_ptr<LocalMessage> getRequestMessage() = 0;
    virtual std::string getServerFilename() = 0;
    virtual std::string getTemporalFilename() = 0;
    virtual TransferDetails getDetails() { return {}; }
};
