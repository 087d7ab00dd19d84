#pragma once

#include "ClientEvent.h"
#include "HostOptions.h"
#include "ServiceClient.h"

#include <QJsonObject>
#include <QObject>
#include <QtGlobal>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

// haul's line to the owner of its data directory: finds it, or starts `haul serve --idle-exit`
// in the background when none answers, sends requests, and turns the owner's event stream into
// Qt signals on the main thread. Lives on the main thread, owned by main.
class OwnerConnection : public QObject
{
    Q_OBJECT

public:
    explicit OwnerConnection(HostOptions options);
    ~OwnerConnection() override;

    // Reads the configuration to find the data directory; false with *error.
    bool configure(std::string* error);
    const std::string& dataPath() const { return data; }

    // A request to the owner, started first when none runs; status 0 when none could be reached.
    ServiceClient::Answer get(const std::string& target);
    ServiceClient::Answer post(const std::string& target, const QJsonObject& body = QJsonObject());
    // A GET to an owner that runs now; never starts one (status 0 when none answers).
    ServiceClient::Answer peek(const std::string& target) const { return ServiceClient(socketPath).get(target); }
    // Subscribes to every event: call before starting anything whose events are wanted.
    bool listen(std::string* error);

signals:
    void statusReceived(const ClientEvent& event);
    void progressReceived(const ClientEvent& event);
    // A download stopped for good or for now: {"session","state","partialBytes",...}.
    void ended(const QJsonObject& event);
    // The event stream ended: the owner went away.
    void lost();

private:
    ServiceClient::Answer request(const std::string& method, const std::string& target, const QJsonObject& body);
    bool ensureOwner(std::string* error);
    // True while some process holds the data directory's lock.
    bool lockHeld() const;
    // The detached owner's pid goes to *pid.
    bool spawnOwner(qint64* pid);
    void readEvents();

    const HostOptions options;
    std::string data;
    std::string socketPath;
    std::unique_ptr<ServiceClient::EventStream> stream;
    std::thread reader;
    std::atomic<bool> closing{false};
};
