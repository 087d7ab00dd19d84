#pragma once

#include "ClientEvent.h"
#include "DownloadBackend.h"
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
// Qt signals and handler calls on the main thread. Lives on the main thread, owned by main.
class OwnerConnection : public QObject, public DownloadBackend
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
    // Subscribes to every event: call before starting anything whose events are wanted.
    bool listen(std::string* error) override;

    bool start(const QJsonArray& downloads, std::vector<std::string>* ids, ClientEvent* refusal) override;
    bool control(const std::string& action, const std::string& id, const QJsonObject& body,
                 ClientEvent* refusal) override;
    bool list(QJsonArray* downloads, std::string* error) override;
    std::string name() const override { return "the owner of " + data; }
    bool pausesOnInterrupt() const override { return true; }

signals:
    // Every event of the owner's stream, in the order it sent them.
    void received(const ClientEvent& event);
    // The event stream ended: the owner went away, or this client fell behind ("Dropped" came
    // first then).
    void lost(const std::string& why);

private:
    ServiceClient::Answer request(const std::string& method, const std::string& target, const QJsonObject& body);
    bool ensureOwner(std::string* error);
    // False, with the key and what to do, when this command sets a key of the whole owner to
    // another value than the owner that already runs has.
    bool settingsAgree(std::string* error);
    // True while some process holds the data directory's lock.
    bool lockHeld() const;
    // The detached owner's pid goes to *pid.
    // False with *why (a read-only or missing folder, a log that cannot be written) when no
    // owner could be started.
    bool spawnOwner(qint64* pid, std::string* why);
    void readEvents();

    const HostOptions options;
    std::string data;
    std::string socketPath;
    std::unique_ptr<ServiceClient::EventStream> stream;
    std::thread reader;
    std::atomic<bool> closing{false};
    bool spawned = false;     // this command started the owner: it has the command's settings
    bool checked = false;     // the running owner's settings were compared
    std::string disagreement; // why this command cannot use the running owner
};
