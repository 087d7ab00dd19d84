#pragma once
// haul child processes on one data directory, the lock they take and the events they send.
#include "Fixture.h"
#include "ServiceClient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// What a child process left: exit status (-1 when it crashed, was killed or hung) and output.
struct Outcome
{
    int status;
    QByteArray out, err;
    // The status and a piece of the output, with everything shown when either is wrong.
    testing::AssertionResult shows(int wanted, const std::string& text) const
    {
        if (status == wanted && (out + err).contains(text.c_str()))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "wanted " << wanted << " and \"" << text << "\", got " << status << ":\n"
                                           << (out + err).toStdString();
    }
};

// `haul serve` or a command.
class HaulProcess
{
public:
    explicit HaulProcess(std::string dataPath) : data(std::move(dataPath)) {}
    ~HaulProcess() { stop(SIGKILL); }
    void start(const QStringList& args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("no_proxy", "*"); // the machine's proxy must not take the loopback requests
        env.remove("HAUL_PASSWORD");
        process.setProcessEnvironment(env);
        // A command runs from DATA/download, where a get saves unless told, as the owner's own
        // requests do; made as the owner makes it. An owner's own folders are its to make.
        if (!args.contains("serve")) {
            ::mkdir(data.c_str(), 0700);
            if (::mkdir((data + "download").c_str(), 0700) == 0 || errno == EEXIST)
                process.setWorkingDirectory((data + "download").c_str());
        }
        process.start(HAUL_PROGRAM, QStringList{"--data-dir", data.c_str()} + args);
        process.waitForStarted();
    }
    Outcome finish(int timeoutMs = 60000)
    {
        if (!process.waitForFinished(timeoutMs))
            process.kill(), process.waitForFinished();
        errors += process.readAllStandardError();
        const int status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return {status, process.readAllStandardOutput(), errors};
    }
    Outcome run(const QStringList& args) { return start(args), finish(); }
    Outcome stop(int signal)
    {
        if (running())
            ::kill(pid_t(process.processId()), signal);
        return finish();
    }
    bool running() const { return process.state() == QProcess::Running; }
    pid_t pid() const { return pid_t(process.processId()); }
    QByteArray errorSoFar()
    {
        process.waitForReadyRead(10); // QProcess reads its pipes only in its wait functions without an event loop
        return errors += process.readAllStandardError();
    }

private:
    std::string data;
    QProcess process;
    QByteArray errors;
};

// `haul serve` in the foreground, ready once its socket answers; false when it left instead.
class OwnerProcess : public HaulProcess
{
public:
    explicit OwnerProcess(const std::string& dataPath) : HaulProcess(dataPath), client(dataPath + "haul.sock") {}
    bool serve(const QStringList& extra = {})
    {
        start(QStringList{"serve"} + extra);
        return waitUntil([&] { return client.reachable() || !running(); }, 30000) && running();
    }
    ServiceClient client;
};

// A figure of a running process from /proc/PID/status ("Threads", "VmRSS" in kB); -1 when gone.
inline long procStatus(pid_t pid, const char* name)
{
    const QByteArray status = readFile("/proc/" + std::to_string(pid) + "/status");
    const int at = status.indexOf(QByteArray("\n") + name + ":");
    if (at < 0)
        return -1;
    const int start = at + 2 + int(std::strlen(name));
    return status.mid(start, status.indexOf('\n', start) - start).trimmed().split(' ').value(0).toLong();
}

// Open descriptors of a running process.
inline int openFiles(pid_t pid)
{
    return int(
        QDir(QString("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

const QFile::Permissions onlyForTheUser = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;

// The pid in DATA/haul.lock while a process holds the lock, else 0.
inline qint64 lockHolder(const std::string& dataPath)
{
    const int fd = ::open((dataPath + "haul.lock").c_str(), O_RDONLY | O_CLOEXEC);
    const bool held = fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    if (fd >= 0)
        ::close(fd);
    return held ? readFile(dataPath + "haul.lock").trimmed().toLongLong() : 0;
}

// Every event of one stream, read on a thread of its own.
class EventLog
{
public:
    explicit EventLog(const std::string& socketPath)
    {
        std::string error;
        if (stream.open(socketPath, "/v1/events", &error))
            reader = std::thread([this] {
                for (ServiceClient::Event event; stream.next(event);) {
                    std::lock_guard<std::mutex> lock(mutex);
                    received.emplace_back(event.name, QJsonDocument::fromJson(event.data.c_str()).object());
                }
            });
    }
    ~EventLog()
    {
        stream.close();
        if (reader.joinable())
            reader.join();
    }
    bool open() const { return reader.joinable(); } // the owner answered, so every later event is seen
    // Every event's data, to look through.
    QByteArray text() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        QByteArray all;
        for (const auto& event : received)
            all += QJsonDocument(event.second).toJson();
        return all;
    }
    // State events of session id (empty: any) that end a download: finished, failed, aborted.
    int ended(const QString& id) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& event : received) {
            const QString state = event.second.value("state").toString();
            n += event.second.value("type") == "State" && (id.isEmpty() || event.second.value("session") == id) &&
                 (state == "finished" || state == "failed" || state == "aborted");
        }
        return n;
    }
    // The events of session id of type, in order.
    QList<QJsonObject> of(const QString& id, const QString& type) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        QList<QJsonObject> found;
        for (const auto& event : received)
            if (event.second.value("session") == id && event.second.value("type") == type)
                found << event.second;
        return found;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        received.clear();
    }
    // Events named name (empty: status and progress) of session id (empty: any) and, when given, type.
    int count(const std::string& name, const QString& id, const QString& type = QString()) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& event : received)
            n += event.first == name && (id.isEmpty() || event.second.value("session").toString() == id) &&
                 (type.isEmpty() || event.second.value("type").toString() == type);
        return n;
    }

private:
    ServiceClient::EventStream stream;
    std::thread reader;
    mutable std::mutex mutex; // guards received
    std::vector<std::pair<std::string, QJsonObject>> received;
};
