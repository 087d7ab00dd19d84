#include "OwnerConnection.h"

#include "ConfigKeys.h"
#include "Configuration.h"
#include "HostSession.h"
#include "Owner.h"
#include "OwnerLock.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaObject>
#include <QProcess>
#include <QThread>
#include <QUrl>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An owner started on demand loads the plugin first; a stopping one frees the lock soon.
const int reachMs = 30000;
const int respawnMs = 1000;

bool refused(const ServiceClient::Answer& answer, int accepted, const std::string& id, ClientEvent* refusal)
{
    if (answer.status == accepted)
        return false;
    *refusal = ClientEvent{"DownloaderError", id};
    refusal->code = answer.body.value("code").toInt();
    refusal->text = answer.status == 0 ? answer.error : answer.body.value("text").toString().toStdString();
    return true;
}

// Keys a download's request carries for itself (or that choose the owner, or that only the
// command reads): a running owner takes them from the command; every other key is the whole
// owner's.
bool isOwnerWide(const std::string& key)
{
    return key != "General/security/IgnoreSslErrors" && key != "Downloader/RequestTimeout" &&
           key.compare(0, 6, "Proxy/") != 0 && key != "Directories/DataPath" && key != "Service/AnswerWaitSeconds";
}

} // namespace

OwnerConnection::OwnerConnection(HostOptions options) : options(std::move(options))
{
    connect(this, &OwnerConnection::received, [this](const ClientEvent& event) {
        if (onEvent)
            onEvent(event);
    });
    connect(this, &OwnerConnection::lost, [this](const std::string& why) {
        if (onLost)
            onLost(why);
    });
}

OwnerConnection::~OwnerConnection()
{
    if (stream) {
        closing = true;
        stream->close();
    }
    if (reader.joinable())
        reader.join();
}

bool OwnerConnection::configure(std::string* error)
{
    Configuration& configuration = Configuration::instance();
    if (!options.configFile.empty() && !configuration.loadFile(options.configFile)) {
        *error = "cannot read the configuration file " + options.configFile;
        return false;
    }
    for (const auto& setting : options.settings)
        configuration.set(setting.first, setting.second);
    data = HostSession::resolveDataPath(options);
    socketPath = Owner::socketPath(data);
    return true;
}

bool OwnerConnection::spawnOwner(qint64* pid, std::string* why)
{
    // Made here, so that the reason is this command's to tell.
    for (std::size_t slash = data.find('/', 1); slash != std::string::npos; slash = data.find('/', slash + 1)) {
        const std::string folder = data.substr(0, slash);
        if (::mkdir(folder.c_str(), slash + 1 == data.size() ? 0700 : 0777) != 0 && errno != EEXIST) {
            *why = "cannot make " + folder + ": " + std::strerror(errno);
            return false;
        }
    }
    QFile log(QString::fromStdString(data + "serve.log"));
    if (!log.open(QIODevice::Append)) {
        *why = "cannot write " + data + "serve.log: " + log.errorString().toStdString();
        return false;
    }
    log.close();
    QStringList arguments = {"--data-dir", QString::fromStdString(data)};
    if (!options.configFile.empty())
        arguments << "--config" << QFileInfo(QString::fromStdString(options.configFile)).absoluteFilePath();
    for (const auto& setting : options.settings)
        arguments << "--set" << QString::fromStdString(setting.first + "=" + setting.second);
    if (!options.logFile.empty())
        arguments << "--log" << QFileInfo(QString::fromStdString(options.logFile)).absoluteFilePath();
    // Its standard error is serve.log, where the plugin's lines belong (haul -v shows them).
    arguments << "--verbose"
              << "serve"
              << "--idle-exit"
              << "--log-level"
              << "info";
    QProcess owner;
    owner.setProgram(QCoreApplication::applicationFilePath());
    owner.setArguments(arguments);
    owner.setWorkingDirectory(QString::fromStdString(data));
    owner.setStandardInputFile(QProcess::nullDevice());
    owner.setStandardOutputFile(QProcess::nullDevice());
    owner.setStandardErrorFile(QString::fromStdString(data + "serve.log"), QIODevice::Append);
    // Detached in a session of its own: a Ctrl-C on this terminal is not meant for it.
    if (owner.startDetached(pid))
        return true;
    *why = "cannot run " + owner.program().toStdString();
    return false;
}

bool OwnerConnection::lockHeld() const
{
    const int fd = ::open(OwnerLock::lockPath(data).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

bool OwnerConnection::ensureOwner(std::string* error)
{
    const ServiceClient client(socketPath);
    QElapsedTimer clock;
    clock.start();
    qint64 spawnedAt = -respawnMs;
    qint64 pid = 0;
    int failedStarts = 0;
    while (!client.reachable()) {
        // An owner that left at once (no plugin, a bad configuration) says why in its log;
        // one that left because another holds the lock only lost a race with it.
        const bool died = pid > 0 && ::kill(pid_t(pid), 0) != 0 && !lockHeld();
        if (died && ++failedStarts >= 2) {
            QFile log(QString::fromStdString(data + "serve.log"));
            QString last;
            if (log.open(QIODevice::ReadOnly))
                last = QString::fromLocal8Bit(log.readAll()).trimmed().section('\n', -1);
            *error = "haul serve for " + data + " did not start: " + last.toStdString();
            return false;
        }
        if (died)
            pid = 0, spawnedAt = -respawnMs;
        if (clock.elapsed() > reachMs) {
            *error = "no owner answers on " + socketPath + " (see " + data + "serve.log)";
            return false;
        }
        // One spawn at a time: a second one would only find the lock taken.
        if (pid == 0 && clock.elapsed() - spawnedAt >= respawnMs) {
            spawnedAt = clock.elapsed();
            std::string why;
            if (!spawnOwner(&pid, &why)) {
                *error = "cannot start haul serve for " + data + ": " + why;
                return false;
            }
            spawned = true;
        }
        // A new owner listens some 15 ms after its start; a missing socket is a cheap question.
        QThread::msleep(4);
    }
    if (!checked) {
        checked = true;
        if (!spawned)
            settingsAgree(&disagreement);
    }
    if (!disagreement.empty()) {
        *error = disagreement;
        return false;
    }
    return true;
}

bool OwnerConnection::settingsAgree(std::string* error)
{
    if (options.settings.empty() && options.configFile.empty())
        return true;
    const ServiceClient::Answer answer = ServiceClient(socketPath).get("/v1/settings");
    if (answer.silent) {
        *error = answer.error;
        return false;
    }
    if (answer.status != 200)
        return true; // an older owner: it cannot tell, and nothing can be compared
    const QJsonObject running = answer.body.value("settings").toObject();
    for (const ConfigKey& key : configKeys()) {
        const std::string name = key.name;
        std::string wanted;
        if (!isOwnerWide(name) || Configuration::instance().getValue(name, wanted, 0) != 0)
            continue;
        const std::string fallback = key.kind == ConfigKey::Kind::Number || key.kind == ConfigKey::Kind::YesNo
                                         ? std::string(key.defaultText)
                                         : std::string();
        const std::string has =
            running.contains(key.name) ? running.value(key.name).toString().toStdString() : fallback;
        if (has == wanted)
            continue;
        QFile lock(QString::fromStdString(OwnerLock::lockPath(data)));
        const std::string pid = lock.open(QIODevice::ReadOnly) ? lock.readAll().trimmed().toStdString() : "";
        *error = "the owner of " + data + " runs with " + name + "=" + (has.empty() ? "(not set)" : has) + ", not " +
                 wanted + ": a running owner keeps its settings. Stop it (" +
                 (pid.empty() ? std::string() : "kill -TERM " + pid + ", or ") +
                 "systemctl --user stop haul) for the next command to start one with it, or leave out " + name;
        return false;
    }
    return true;
}

ServiceClient::Answer OwnerConnection::request(const std::string& method, const std::string& target,
                                               const QJsonObject& body)
{
    ServiceClient client(socketPath);
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        ServiceClient::Answer answer;
        if (!ensureOwner(&answer.error))
            return answer;
        answer = method == "GET" ? client.get(target) : client.post(target, body);
        // An owner that was just leaving (idle, or stopped) is replaced by a new one. One that
        // took the request and said nothing may still carry it out: never asked twice.
        if ((answer.status != 0 && answer.status != 503) || answer.silent || clock.elapsed() > reachMs)
            return answer;
        QThread::msleep(50);
    }
}

ServiceClient::Answer OwnerConnection::get(const std::string& target)
{
    return request("GET", target, QJsonObject());
}

ServiceClient::Answer OwnerConnection::post(const std::string& target, const QJsonObject& body)
{
    return request("POST", target, body);
}

bool OwnerConnection::start(const QJsonArray& downloads, std::vector<std::string>* ids, ClientEvent* refusal)
{
    const ServiceClient::Answer answer = post("/v1/downloads", QJsonObject{{"downloads", downloads}});
    for (const QJsonValue id : answer.body.value("ids").toArray())
        ids->push_back(id.toString().toStdString());
    const std::string id = downloads.size() == 1 ? downloads[0].toObject().value("id").toString().toStdString() : "";
    return !refused(answer, 201, id, refusal);
}

bool OwnerConnection::control(const std::string& action, const std::string& id, const QJsonObject& body,
                              ClientEvent* refusal)
{
    const std::string target =
        "/v1/downloads/" + QUrl::toPercentEncoding(QString::fromStdString(id)).toStdString() + "/" + action;
    return !refused(post(target, body), 202, id, refusal);
}

bool OwnerConnection::list(QJsonArray* downloads, std::string* error)
{
    const ServiceClient::Answer answer = get("/v1/downloads");
    *downloads = answer.body.value("downloads").toArray();
    *error = answer.error;
    return answer.status == 200;
}

bool OwnerConnection::listen(std::string* error)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (!ensureOwner(error))
            return false;
        stream.reset(new ServiceClient::EventStream);
        if (stream->open(socketPath, "/v1/events", error))
            break;
        if (stream->silent() || clock.elapsed() > reachMs)
            return false;
        QThread::msleep(50);
    }
    reader = std::thread([this] { readEvents(); });
    return true;
}

// Runs on the reader thread; every event is handed to the main thread in arrival order.
void OwnerConnection::readEvents()
{
    ServiceClient::Event event;
    while (stream->next(event)) {
        const ClientEvent parsed = ClientEvent::fromJson(QByteArray::fromStdString(event.data));
        QMetaObject::invokeMethod(
            this, [this, parsed] { emit received(parsed); }, Qt::QueuedConnection);
    }
    if (!closing) {
        const std::string why = stream->silent() ? "stopped answering" : "went away";
        QMetaObject::invokeMethod(
            this, [this, why] { emit lost(why); }, Qt::QueuedConnection);
    }
}
