#include "TransferRunner.h"

#include "BusClient.h"
#include "HostSession.h"
#include "InterruptWatcher.h"
#include "MessageBus.h"
#include "ProgressView.h"
#include "RequestStore.h"

#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <exception>

namespace {

// A Pause that reached the component before the Start registered its transfer is answered
// 270; it is sent again after this delay until the transfer has left.
const int pauseRetryMs = 150;
const int drainMs = 2000;

} // namespace

TransferRunner::TransferRunner(BusClient& client, ProgressView& view, HostSession& host, InterruptWatcher& watcher,
                               std::size_t limit, std::string resumeCommand)
    : client(client), view(view), host(host), watcher(watcher), limit(limit), resumeCommand(std::move(resumeCommand))
{
    connect(&client, &BusClient::statusReceived, this, &TransferRunner::onStatus);
    connect(&client, &BusClient::progressReceived, this, &TransferRunner::onProgress);
    connect(&watcher, &InterruptWatcher::interrupted, this, &TransferRunner::onInterrupted);
}

TransferRunner::~TransferRunner()
{
    if (stopper.joinable())
        stopper.join();
}

void TransferRunner::add(const Job& job)
{
    queued.push_back(job);
}

int TransferRunner::run()
{
    watcher.setArmed(true);
    startMore();
    if (!running.empty())
        loop.exec();
    watcher.setArmed(false);
    if (interrupted)
        return exitCode;
    return failures == 0 ? 0 : 1;
}

void TransferRunner::startMore()
{
    while (!interrupted && !queued.empty() && (limit == 0 || running.size() < limit)) {
        Job job = queued.front();
        queued.pop_front();
        if (running.count(job.id)) {
            end(job.id, false, "failed: " + job.label + ": the identifier " + job.id + " is given twice");
            continue;
        }
        running[job.id].job = job;
        startOrder.push_back(job.id);
        if (!client.send(job.type, job.id, job.payload))
            end(job.id, false, "failed: " + job.label + ": the message bus refused the request");
    }
}

void TransferRunner::onProgress(const ClientEvent& event)
{
    const auto found = running.find(event.session);
    if (found == running.end() || found->second.paused)
        return;
    const Job& job = found->second.job;
    view.update(job.id, job.label, job.offset + event.currentBytes, job.offset + event.totalBytes,
                event.bytesPerSecond);
}

void TransferRunner::onStatus(const ClientEvent& event)
{
    const auto found = running.find(event.session);
    if (found == running.end())
        return;
    const Job& job = found->second.job;
    const std::string codeText = " (code " + std::to_string(event.code) + ")";
    if (event.type == "WasFinished") {
        end(job.id, true, "saved: " + event.text);
    } else if (event.type == "DownloaderError" && event.code == 270) {
        // The answer to one of our pauses: the transfer was not registered yet.
        if (interrupted && !stopDone) {
            const std::string id = job.id;
            QTimer::singleShot(pauseRetryMs, this, [this, id] {
                if (running.count(id) && !stopDone)
                    client.send("Pause", id);
            });
        }
    } else if (event.type == "DownloaderError" && event.code == 257 && running.size() > 1 && !interrupted) {
        // Another client holds places: wait for one of ours to end, then try again.
        Job again = job;
        running.erase(found);
        startOrder.erase(std::remove(startOrder.begin(), startOrder.end(), again.id), startOrder.end());
        queued.push_front(again);
    } else {
        end(job.id, false,
            "failed: " + job.label + ": " + event.text + codeText + " [" + event.type + ", id " + job.id + "]");
    }
}

void TransferRunner::end(std::string id, bool success, const std::string& line)
{
    running.erase(id);
    startOrder.erase(std::remove(startOrder.begin(), startOrder.end(), id), startOrder.end());
    if (!success)
        ++failures;
    view.remove(id);
    view.result(line);
    startMore();
    finishIfDone();
}

void TransferRunner::finishIfDone()
{
    if (running.empty() && queued.empty() && !interrupted)
        loop.quit();
}

void TransferRunner::onInterrupted()
{
    if (interrupted)
        return;
    interrupted = true;
    const std::size_t notStarted = queued.size();
    queued.clear();
    for (auto& entry : running) {
        entry.second.paused = true;
        client.send("Pause", entry.first);
    }
    std::string text = "interrupted: pausing " + std::to_string(running.size()) + " download(s)";
    if (notStarted > 0)
        text += ", " + std::to_string(notStarted) + " not started";
    view.note(text + " (Ctrl-C again to quit at once)");
    // stop() returns only when every transfer has left; the main thread keeps serving events.
    stopper = std::thread([this] {
        host.stopComponent();
        QMetaObject::invokeMethod(
            this, [this] { onStopped(); }, Qt::QueuedConnection);
    });
}

void TransferRunner::onStopped()
{
    stopper.join();
    stopDone = true;
    // Replies posted by the last completions are queued behind this call: let them in first.
    MessageBus::instance().waitIdle(drainMs);
    QMetaObject::invokeMethod(
        this, [this] { reportPaused(); }, Qt::QueuedConnection);
}

void TransferRunner::reportPaused()
{
    std::vector<std::string> resumable;
    for (const std::string& id : startOrder) {
        const Job& job = running[id].job;
        view.remove(id);
        RequestStore::Record record;
        bool persisted = false;
        try {
            persisted = RequestStore::find(id, record);
        } catch (const std::exception&) {
            persisted = false;
        }
        if (persisted) {
            resumable.push_back(id);
            view.result("paused: " + job.label + " (" + std::to_string(record.partialBytes) + " bytes kept) [id " + id +
                        "]");
        } else {
            view.result("not started: " + job.label + " [id " + id + "]");
        }
    }
    if (!resumable.empty()) {
        std::string hint = "continue with: " + resumeCommand;
        for (const std::string& id : resumable)
            hint += " " + id;
        view.note(hint);
    }
    exitCode = 130;
    loop.quit();
}
