#pragma once

#include "ServiceClient.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// What a child process left: exit status (-1 when it crashed, was killed or hung) and output.
struct Outcome
{
    int status;
    QByteArray out, err;
    // The status and a piece of standard output or error, with everything shown when either is wrong.
    testing::AssertionResult shows(int wanted, const std::string& text) const;
};

// A haul child process on one data directory: `haul serve` or a command.
class HaulProcess
{
public:
    explicit HaulProcess(std::string dataPath) : data(std::move(dataPath)) {}
    ~HaulProcess();

    void start(const QStringList& args);
    Outcome finish(int timeoutMs = 60000);
    Outcome run(const QStringList& args) { return start(args), finish(); }
    // Sends signal and waits for the exit.
    Outcome stop(int signal);
    qint64 pid() const { return process.processId(); }
    // Standard error so far, while it runs.
    QByteArray errorSoFar();
    bool running() const { return process.state() == QProcess::Running; }

private:
    std::string data;
    QProcess process;
    QByteArray errors;
};

// `haul serve` in the foreground on a data directory, ready once its socket answers.
class OwnerProcess : public HaulProcess
{
public:
    explicit OwnerProcess(const std::string& dataPath) : HaulProcess(dataPath), client(dataPath + "haul.sock") {}
    // False when it left instead (a second owner, a bad option).
    bool serve(const QStringList& extra = {});

    ServiceClient client;
};

// {"downloads":[...]} for the given downloads.
QJsonObject downloads(const QJsonArray& list);
QJsonObject download(const std::string& url, const std::string& id = std::string(), const std::string& sha1 = std::string());
// The pid in DATA/haul.lock while a process holds the lock, else 0.
qint64 lockHolder(const std::string& dataPath);

// Every event of one stream, read on a thread of its own.
class EventLog
{
public:
    ~EventLog();
    bool open(const std::string& socketPath, const std::string& target = "/v1/events");
    void close();
    // Copies of what arrived so far: (name, data as JSON).
    std::vector<std::pair<std::string, QJsonObject>> events() const;
    // How many events named name (empty: status and progress) have session id and, when given, type.
    int count(const std::string& name, const QString& id, const QString& type = QString()) const;

private:
    ServiceClient::EventStream stream;
    std::thread reader;
    mutable std::mutex mutex; // guards received
    std::vector<std::pair<std::string, QJsonObject>> received;
};
