#include "DemoCommand.h"

#include "ByteFormat.h"
#include "CommandLine.h"
#include "InterruptWatcher.h"
#include "OwnerConnection.h"
#include "ProgressView.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTimer>

namespace {

const char* const servedPath = "/haul-demo.bin";
const std::uint32_t seed = 7;

} // namespace

DemoCommand::DemoCommand(const CommandLine& line, OwnerConnection& owner, ProgressView& view, InterruptWatcher& watcher)
    : line(line), owner(owner), view(view), watcher(watcher),
      server(static_cast<std::uint64_t>(line.demoSize), static_cast<std::uint64_t>(line.demoRate), seed, servedPath)
{
    QObject::connect(&owner, &OwnerConnection::received, &context, [this](const ClientEvent& event) {
        if (event.isReport()) {
            statuses[event.session] = event;
        } else if (event.type == "State" && event.state != "queued" && event.state != "running" &&
                   event.state != "pausing") {
            endings[event.session] = event;
        } else if (event.isProgress()) {
            progress[event.session] = event;
            this->view.update(event.session, QString(servedPath).mid(1).toStdString(), event.bytes, event.size,
                              event.bytesPerSecond);
        }
    });
    QObject::connect(&watcher, &InterruptWatcher::interrupted, &context, [this](int) { interrupted = true; });
}

DemoCommand::~DemoCommand() = default;

bool DemoCommand::waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    tick.start(20);
    for (;;) {
        for (const std::string& text : server.takeLines())
            serverLines.append(QString::fromStdString(text));
        if (done())
            break;
        if (interrupted || clock.elapsed() > timeoutMs)
            return false;
        loop.exec();
    }
    return true;
}

bool DemoCommand::waitForStatus(const std::string& id, int timeoutMs)
{
    return waitUntil([this, id] { return statuses.count(id) != 0; }, timeoutMs);
}

int DemoCommand::fail(const std::string& text)
{
    if (interrupted) {
        view.note("demo: interrupted");
        return 130;
    }
    view.note("demo: FAILED: " + text);
    return 1;
}

bool DemoCommand::startServer()
{
    std::string error;
    if (!server.start(&error)) {
        view.note("demo: " + error);
        return false;
    }
    url = QString::fromStdString(server.url());
    serverSha1 = server.sha1();
    return true;
}

int DemoCommand::run()
{
    watcher.setArmed(true);
    const int status = steps();
    watcher.setArmed(false);
    return status;
}

std::string DemoCommand::start()
{
    QJsonObject download;
    download.insert("url", url);
    download.insert("sha1", QString::fromStdString(serverSha1));
    QJsonObject body;
    body.insert("downloads", QJsonArray{download});
    const ServiceClient::Answer answer = owner.post("/v1/downloads", body);
    if (answer.status != 201) {
        view.note("demo: the owner refused the start: " + answer.error);
        return std::string();
    }
    return answer.body.value("ids").toArray().at(0).toString().toStdString();
}

int DemoCommand::steps()
{
    const std::uint64_t size = static_cast<std::uint64_t>(line.demoSize);
    // Generous: three times the transfer's own time at the served rate.
    const int transferMs = static_cast<int>(3000 * (line.demoSize / line.demoRate) + 30000);

    view.note("demo: data directory " + owner.dataPath());
    if (!startServer())
        return fail("no file server");
    view.note("demo: serving " + formatBytes(size) + " at " + formatBytes(static_cast<std::uint64_t>(line.demoRate)) +
              "/s on " + url.toStdString());
    std::string error;
    if (!owner.listen(&error))
        return fail(error);

    view.note("demo: Start with the expected SHA-1 " + serverSha1);
    const std::string first = start();
    if (first.empty())
        return fail("no download");
    view.note("demo: the owner started " + first);

    const bool midway = waitUntil(
        [&] {
            const auto found = progress.find(first);
            return endings.count(first) || (found != progress.end() && found->second.bytes * 5 >= size * 2);
        },
        transferMs);
    if (!midway)
        return fail("no progress from the transfer");
    if (endings.count(first))
        return fail("the transfer ended before it could be paused: " + statuses[first].type + " " +
                    statuses[first].text + " (use a larger --size or a lower --rate)");
    view.note("demo: Pause at " + formatBytes(progress[first].bytes) + " (a paused transfer gets no reply)");
    owner.post("/v1/downloads/" + first + "/pause");
    const bool left = waitUntil([&] { return endings.count(first) != 0; }, transferMs);
    view.remove(first);
    if (!left || endings[first].state != "paused")
        return fail("the transfer did not stop: " + endings[first].state);
    const std::uint64_t kept = endings[first].bytes;
    endings.erase(first);
    view.note("demo: stopped; the partial file holds " + std::to_string(kept) + " bytes and the request is persisted");

    const int seenBefore = serverLines.size();
    view.note("demo: Resume " + first);
    owner.post("/v1/downloads/" + first + "/resume");
    QString rangeLine;
    const bool resumed = waitUntil(
        [&] {
            for (int i = seenBefore; i < serverLines.size(); ++i) {
                if (serverLines[i].startsWith("REQUEST "))
                    rangeLine = serverLines[i];
            }
            return !rangeLine.isEmpty() || endings.count(first);
        },
        transferMs);
    if (!resumed || rangeLine.isEmpty())
        return fail("the server saw no request for the resumed transfer");
    view.note("demo: the server saw: " + rangeLine.toStdString());
    if (!rangeLine.contains("Range: bytes=" + QString::number(kept) + "-"))
        return fail("the resumed request does not continue at byte " + std::to_string(kept));

    if (!waitForStatus(first, transferMs))
        return fail("no answer to the resumed transfer");
    view.remove(first);
    const ClientEvent finished = statuses[first];
    if (finished.type != "WasFinished")
        return fail(finished.type + " " + finished.text + " (code " + std::to_string(finished.code) + ")");
    view.note("demo: WasFinished: " + finished.text);

    QFile saved(QString::fromStdString(finished.text));
    QCryptographicHash digest(QCryptographicHash::Sha1);
    if (!saved.open(QIODevice::ReadOnly) || !digest.addData(&saved))
        return fail("cannot read " + finished.text);
    const std::string actual = digest.result().toHex().toStdString();
    if (actual != serverSha1 || static_cast<std::uint64_t>(saved.size()) != size)
        return fail("the saved file's SHA-1 is " + actual + ", expected " + serverSha1);
    view.note("demo: the saved file has " + std::to_string(saved.size()) + " bytes and SHA-1 " + actual +
              ", as served");

    const int requestsBefore = serverLines.filter("REQUEST ").size();
    view.note("demo: Start again for the same URL and digest");
    QElapsedTimer clock;
    clock.start();
    const std::string second = start();
    if (second.empty())
        return fail("no second download");
    if (!waitForStatus(second, transferMs))
        return fail("no answer to the repeated start");
    const ClientEvent again = statuses[second];
    const qint64 elapsed = clock.elapsed();
    const int newRequests = serverLines.filter("REQUEST ").size() - requestsBefore;
    if (again.type != "WasFinished" || newRequests != 0)
        return fail("the repeated start gave " + again.type + " " + again.text + " after " +
                    std::to_string(newRequests) + " request(s)");
    view.note("demo: WasFinished after " + std::to_string(elapsed) +
              " ms with no request to the server: " + again.text);
    return 0;
}
