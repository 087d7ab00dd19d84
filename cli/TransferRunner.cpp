#include "TransferRunner.h"

#include "HumanText.h"
#include "InterruptWatcher.h"
#include "OwnerConnection.h"
#include "ProgressView.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>
#include <algorithm>
#include <cstdio>

TransferRunner::TransferRunner(OwnerConnection& owner, ProgressView& view, InterruptWatcher& watcher, bool jsonEcho,
                               std::string resumeCommand)
    : owner(owner), view(view), watcher(watcher), jsonEcho(jsonEcho), resumeCommand(std::move(resumeCommand))
{
    connect(&owner, &OwnerConnection::statusReceived, this, &TransferRunner::onStatus);
    connect(&owner, &OwnerConnection::progressReceived, this, &TransferRunner::onProgress);
    connect(&owner, &OwnerConnection::ended, this, &TransferRunner::onEnded);
    connect(&owner, &OwnerConnection::lost, this, &TransferRunner::onLost);
    connect(&watcher, &InterruptWatcher::interrupted, this, &TransferRunner::onInterrupted);
    connect(&statePoll, &QTimer::timeout, this, &TransferRunner::refreshStates);
}

void TransferRunner::follow(const Job& job)
{
    running[job.id].job = job;
    order.push_back(job.id);
    view.add(job.id, job.label, "starting");
}

void TransferRunner::refused(const std::string& line)
{
    ++failures;
    view.result(line);
}

int TransferRunner::run()
{
    watcher.setArmed(true);
    refreshStates();
    statePoll.start(1000);
    if (!running.empty())
        loop.exec();
    statePoll.stop();
    watcher.setArmed(false);
    if (interruptedBy)
        return 128 + interruptedBy;
    return failures == 0 ? 0 : 1;
}

void TransferRunner::onProgress(const ClientEvent& event)
{
    const auto found = running.find(event.session);
    if (found == running.end())
        return;
    if (jsonEcho)
        std::printf("%s\n", event.toJson().constData()), std::fflush(stdout);
    if (interruptedBy)
        return;
    const Job& job = found->second.job;
    found->second.progressed = true;
    view.update(job.id, job.label, job.offset + event.currentBytes, job.offset + event.totalBytes,
                event.bytesPerSecond);
}

void TransferRunner::onStatus(const ClientEvent& event)
{
    const auto found = running.find(event.session);
    if (found == running.end() || holdFailure(found->second, event))
        return;
    if (jsonEcho)
        std::printf("%s\n", event.toJson().constData()), std::fflush(stdout);
    if (event.type == "WasFinished") {
        found->second.reported = true;
        view.remove(event.session, true);
        view.result("saved: " + event.text);
        return;
    }
    found->second.failed = true;
    found->second.failure = event;
}

void TransferRunner::onEnded(const QJsonObject& event)
{
    const std::string id = event.value("session").toString().toStdString();
    const auto found = running.find(id);
    if (found == running.end() || retryLater(id, event))
        return;
    if (found->second.failed) {
        reportFailure(id, found->second, event);
    } else if (!found->second.reported) {
        view.remove(id);
        Stopped stop{found->second.job, event.value("state").toString().toStdString(),
                     static_cast<std::uint64_t>(event.value("partialBytes").toDouble())};
        // Paused by another command: not finished, and said so at once.
        if (!interruptedBy) {
            ++failures;
            view.result(stop.state == "paused" ? "paused: " + stop.job.label + " (" +
                                                     std::to_string(stop.partialBytes) + " bytes kept) [id " + id +
                                                     "]"
                                               : "stopped: " + stop.job.label + " [id " + id + "]");
        } else {
            stopped.push_back(stop);
        }
    }
    running.erase(found);
    finishIfDone();
}

void TransferRunner::reportFailure(const std::string& id, const Running& run, const QJsonObject& ended)
{
    const ClientEvent& status = run.failure;
    human::Report report = human::Report::fromJson(ended, id);
    report.type = status.type;
    if (!ended.contains("code")) {
        report.code = status.code;
        report.text = status.text;
    }
    view.remove(id);
    ++failures;
    view.result("failed: " + run.job.label + ": " + human::withCode(report) + " [" + status.type + ", id " + id +
                "]");
}

void TransferRunner::finishIfDone()
{
    if (!running.empty())
        return;
    if (interruptedBy)
        reportStopped();
    loop.quit();
}

void TransferRunner::onInterrupted(int signal)
{
    if (interruptedBy || running.empty())
        return;
    interruptedBy = signal;
    endWaits();
    if (running.empty())
        return finishIfDone();
    for (const std::string& id : order) {
        if (running.count(id))
            owner.post("/v1/downloads/" + QUrl::toPercentEncoding(QString::fromStdString(id)).toStdString() +
                       "/pause");
    }
    view.message("interrupted: pausing " + std::to_string(running.size()) +
                 " download(s) (Ctrl-C again to quit at once)");
}

void TransferRunner::onLost()
{
    if (running.empty())
        return;
    std::string hint = "continue with: " + resumeCommand;
    for (const std::string& id : order) {
        const auto found = running.find(id);
        if (found == running.end())
            continue;
        view.remove(id);
        ++failures;
        if (found->second.failed) {
            const ClientEvent& status = found->second.failure;
            view.result("failed: " + found->second.job.label + ": " +
                        human::withCode(human::Report::fromEvent(status)) + " [" + status.type + ", id " + id + "]");
            continue;
        }
        view.result("failed: " + found->second.job.label + ": the owner of " + owner.dataPath() +
                    " went away [id " + id + "]");
        hint += " " + id;
    }
    // What reached the disk is still there: a new owner resumes it.
    view.message(hint);
    running.clear();
    loop.quit();
}

void TransferRunner::reportStopped()
{
    std::vector<std::string> resumable;
    for (const std::string& id : order) {
        const auto found = std::find_if(stopped.begin(), stopped.end(), [&](const Stopped& s) { return s.job.id == id; });
        if (found == stopped.end())
            continue;
        if (found->state == "paused") {
            resumable.push_back(id);
            view.result("paused: " + found->job.label + " (" + std::to_string(found->partialBytes) +
                        " bytes kept) [id " + id + "]");
        } else {
            view.result("not started: " + found->job.label + " [id " + id + "]");
        }
    }
    if (!resumable.empty()) {
        std::string hint = "continue with: " + resumeCommand;
        for (const std::string& id : resumable)
            hint += " " + id;
        view.message(hint);
    }
}

void TransferRunner::refreshStates()
{
    const bool waiting = std::any_of(running.begin(), running.end(), [](const auto& item) {
        return !item.second.progressed && !item.second.failed && !item.second.reported;
    });
    if (!waiting || interruptedBy || !view.live())
        return;
    const ServiceClient::Answer answer = owner.peek("/v1/downloads");
    std::map<std::string, QString> partials;
    for (const QJsonValue& value : answer.body.value("persisted").toArray())
        partials[value.toObject().value("id").toString().toStdString()] = value.toObject().value("partial").toString();
    for (const QJsonValue& value : answer.body.value("running").toArray()) {
        const std::string id = value.toObject().value("id").toString().toStdString();
        const auto found = running.find(id);
        if (found == running.end() || found->second.progressed)
            continue;
        Running& download = found->second;
        const QString state = value.toObject().value("state").toString();
        const qint64 bytes = partials.count(id) ? QFileInfo(partials[id]).size() : 0;
        if (state != "running" || bytes <= 0) {
            view.setState(id, state == "running" ? "starting" : state.toStdString());
            continue;
        }
        if (!clock.isValid())
            clock.start();
        const qint64 now = clock.elapsed();
        const bool first = download.sampledAt < 0;
        const qint64 rate = !first && now > download.sampledAt && bytes >= download.sampledBytes
                                ? (bytes - download.sampledBytes) * 1000 / (now - download.sampledAt)
                                : 0;
        download.sampledBytes = bytes;
        download.sampledAt = now;
        // A size the server did name comes with the first progress report, a moment later.
        if (first)
            continue;
        view.update(id, download.job.label, static_cast<std::uint64_t>(bytes), 0, static_cast<std::uint64_t>(rate));
    }
}
