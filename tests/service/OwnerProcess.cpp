#include "OwnerProcess.h"

#include "Fixture.h"

#include <QJsonDocument>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

testing::AssertionResult Outcome::shows(int wanted, const std::string& text) const
{
    if (status == wanted && (out.contains(text.c_str()) || err.contains(text.c_str())))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "wanted " << wanted << " and \"" << text << "\", got " << status << ":\n"
                                       << (out + err).toStdString();
}

HaulProcess::~HaulProcess()
{
    if (running())
        stop(SIGKILL);
}

void HaulProcess::start(const QStringList& args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("no_proxy", "*"); // the machine's proxy must not take the loopback requests
    env.remove("HAUL_PASSWORD");
    process.setProcessEnvironment(env);
    process.start(HAUL_PROGRAM, QStringList{"--data-dir", data.c_str()} + args);
    process.waitForStarted();
}

Outcome HaulProcess::finish(int timeoutMs)
{
    if (!process.waitForFinished(timeoutMs))
        process.kill(), process.waitForFinished();
    errors += process.readAllStandardError();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            errors};
}

QByteArray HaulProcess::errorSoFar()
{
    // QProcess reads its pipes only inside its wait functions when no event loop runs.
    process.waitForReadyRead(10);
    errors += process.readAllStandardError();
    return errors;
}

Outcome HaulProcess::stop(int signal)
{
    if (running())
        ::kill(pid_t(pid()), signal);
    return finish();
}

bool OwnerProcess::serve(const QStringList& extra)
{
    start(QStringList{"serve"} + extra);
    return waitUntil([&] { return client.reachable() || !running(); }, 30000) && running();
}

QJsonObject downloads(const QJsonArray& list)
{
    QJsonObject body;
    body.insert("downloads", list);
    return body;
}

QJsonObject download(const std::string& url, const std::string& id, const std::string& sha1)
{
    QJsonObject object;
    object.insert("url", QString::fromStdString(url));
    if (!id.empty())
        object.insert("id", QString::fromStdString(id));
    if (!sha1.empty())
        object.insert("sha1", QString::fromStdString(sha1));
    return object;
}

qint64 lockHolder(const std::string& dataPath)
{
    const int fd = ::open((dataPath + "haul.lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held ? readFile(dataPath + "haul.lock").trimmed().toLongLong() : 0;
}

EventLog::~EventLog()
{
    close();
}

bool EventLog::open(const std::string& socketPath, const std::string& target)
{
    std::string error;
    if (!stream.open(socketPath, target, &error))
        return false;
    reader = std::thread([this] {
        ServiceClient::Event event;
        while (stream.next(event)) {
            std::lock_guard<std::mutex> lock(mutex);
            received.emplace_back(event.name, QJsonDocument::fromJson(QByteArray::fromStdString(event.data)).object());
        }
    });
    return true;
}

void EventLog::close()
{
    stream.close();
    if (reader.joinable())
        reader.join();
}

std::vector<std::pair<std::string, QJsonObject>> EventLog::events() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

int EventLog::count(const std::string& name, const QString& id, const QString& type) const
{
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const auto& event : received) {
        if (event.first == name && event.second.value("session").toString() == id &&
            (type.isEmpty() || event.second.value("type").toString() == type))
            ++n;
    }
    return n;
}
