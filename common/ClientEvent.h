#pragma once

#include "Outcome.h"

#include <QByteArray>
#include <cstdint>
#include <string>
#include <utility>

class LocalMessage;

// One event about a download: the same object in the owner's event stream and in haul --json.
// type: a status report as the component sent it ("WasFinished", "WasFailed", "WasAborted",
// "DownloaderError", also the owner's refusals), "Progress", "State" (the download changed
// state), "Retrying" (a failure is tried again after a delay), "Dropped" (the stream fell
// behind and ends). A plain value, shared with the cluster library; fromMessage alone is the
// owner's (service/ClientEvent.cpp), for what links the host.
struct ClientEvent
{
    ClientEvent() = default;
    ClientEvent(std::string type, std::string session) : type(std::move(type)), session(std::move(session)) {}

    std::string type;
    std::string session;
    // Reports, refusals, State (the last report), Retrying (the failure tried again).
    int code = 0;
    std::string text;
    Cause cause;
    // State.
    std::string state;
    std::string path; // finished: where the file was saved
    std::string url;  // what is fetched, so that a client first hearing of it can name it
    bool interrupted = false;
    // Progress: the component's own counts, of the current transfer.
    std::uint64_t currentBytes = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t bytesPerSecond = 0;
    // Progress and State: the whole file (size 0 while unknown).
    std::uint64_t bytes = 0;
    std::uint64_t size = 0;
    // Retrying.
    int attempt = 0;
    int retries = 0;
    int delaySeconds = 0; // 0: not known (a cluster's redelivery)
    std::string reason;
    // A cluster's host that holds or saved the download; empty for one data directory.
    std::string host;
    // State of a failed or aborted download: what happened in a person's words, as a command
    // prints them ("HTTP 404 Not Found"); text stays the component's own.
    std::string words;

    ClientEvent withText(std::string words) const
    {
        ClientEvent copy = *this;
        copy.text = std::move(words);
        return copy;
    }
    bool isProgress() const { return type == "Progress"; }
    bool isReport() const;
    // A status or progress report as the component posted it (its texts made safe to show).
    static ClientEvent fromMessage(const LocalMessage& message);
    static ClientEvent fromJson(const QByteArray& json);
    // One compact JSON object, without the line end.
    QByteArray toJson() const;
};
