#pragma once

#include "ClientEvent.h"

#include <QJsonArray>
#include <QJsonObject>
#include <functional>
#include <string>
#include <vector>

// Where haul's commands send their requests and whence their events come: the owner of one
// data directory (OwnerConnection) or a cluster (libhaulcluster.so). Plain C++ and inline only:
// the cluster's side is opened with dlopen and needs no symbol of haul. Used on the main thread.
class DownloadBackend
{
public:
    virtual ~DownloadBackend() = default;

    // Events from now on reach onEvent; call before starting what they are about.
    virtual bool listen(std::string* error) = 0;
    // The objects of POST /v1/downloads; the ids they run under are appended to *ids. False at
    // the first refusal, *refusal then a "DownloaderError" saying why.
    virtual bool start(const QJsonArray& downloads, std::vector<std::string>* ids, ClientEvent* refusal) = 0;
    // action: "pause", "resume", "abort", "forget"; body: the credentials of a resume.
    virtual bool control(const std::string& action, const std::string& id, const QJsonObject& body,
                         ClientEvent* refusal) = 0;
    // The downloads as GET /v1/downloads lists them ("host" added by a cluster). True with
    // *error set: some were listed, and *error names what could not be (a cluster's silent hosts).
    virtual bool list(QJsonArray* downloads, std::string* error) = 0;
    // "the owner of DIR": what went away or stopped answering when onLost is called.
    virtual std::string name() const = 0;
    // A Ctrl-C pauses what a command follows; a cluster's downloads go on without it.
    virtual bool pausesOnInterrupt() const = 0;

    // Called on the main thread by its event loop, and looked up as each event is delivered:
    // set before the loop runs, they miss nothing since listen(). Empty: events go nowhere.
    std::function<void(const ClientEvent&)> onEvent;
    std::function<void(const std::string& why)> onLost; // no further event will come; why: "went away"...
};
