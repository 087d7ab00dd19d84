#include "TransferRunner.h"

#include "DownloadBackend.h"
#include "HumanText.h"
#include "InterruptWatcher.h"
#include "ProgressView.h"

#include <algorithm>
#include <cstdio>

namespace {

// " [TYPE, id ID]"; a cluster's download also names the host that has its file.
std::string tag(const std::string& id, const ClientEvent& event, const std::string& type = "")
{
    return " [" + (type.empty() ? "" : type + ", ") + "id " + id + (event.host.empty() ? "" : " on " + event.host) +
           "]";
}

} // namespace

TransferRunner::TransferRunner(DownloadBackend& backend, ProgressView& view, InterruptWatcher& watcher, bool jsonEcho,
                               std::string command)
    : backend(backend), view(view), watcher(watcher), jsonEcho(jsonEcho), command(std::move(command))
{
    backend.onEvent = [this](const ClientEvent& event) { onEvent(event); };
    backend.onLost = [this](const std::string& why) { onLost(why); };
    connect(&watcher, &InterruptWatcher::interrupted, this, &TransferRunner::onInterrupted);
}

TransferRunner::~TransferRunner()
{
    backend.onEvent = nullptr;
    backend.onLost = nullptr;
}

void TransferRunner::follow(const Job& job)
{
    running[job.id] = job;
    order.push_back(job.id);
    view.add(job.id, job.label, "starting");
}

int TransferRunner::run()
{
    watcher.setArmed(true);
    if (!running.empty())
        loop.exec();
    watcher.setArmed(false);
    if (interruptedBy)
        return 128 + interruptedBy;
    return failures == 0 ? 0 : 1;
}

void TransferRunner::onEvent(const ClientEvent& event)
{
    const auto found = running.find(event.session);
    if (found == running.end())
        return;
    if (jsonEcho)
        std::printf("%s\n", event.toJson().constData()), std::fflush(stdout);
    const Job job = found->second;
    if (event.isProgress()) {
        if (interruptedBy)
            return;
        progressed[job.id] = true;
        view.update(job.id, job.label, event.bytes, event.size, event.bytesPerSecond);
    } else if (event.type == "Retrying") {
        // The row stays, saying why it waits; the view keeps it off quiet and JSON output.
        progressed[job.id] = false;
        view.setState(job.id, "retrying" +
                                  (event.delaySeconds > 0 ? " in " + std::to_string(event.delaySeconds) + "s" : "") +
                                  " (" + std::to_string(event.attempt) + "/" + std::to_string(event.retries) +
                                  "): " + event.reason + (event.host.empty() ? "" : ", failed on " + event.host));
    } else if (event.type == "State") {
        onState(job, event);
    } else if (event.type == "Forgotten") {
        view.remove(job.id);
        ++failures;
        view.result("forgotten: " + job.label + tag(job.id, event));
        finish(job.id);
    }
}

void TransferRunner::onState(const Job& job, const ClientEvent& event)
{
    const std::string& state = event.state;
    const std::string id = job.id;
    if (state == "queued" || state == "running" || state == "pausing" || state == "aborting") {
        // Figures say more than a state once they flow; a state says why there are none.
        if (state != "running" || !progressed[id])
            view.setState(id, state == "running" ? "starting" : state);
        return;
    }
    view.remove(id, state == "finished");
    if (state == "finished") {
        view.result("saved: " + event.path + (event.host.empty() ? "" : tag(id, event)));
    } else if (state == "paused" && interruptedBy) {
        stopped.push_back(Stopped{job, event.bytes});
    } else if (state == "paused") {
        // Paused by another command: not finished, and said so at once.
        ++failures;
        view.result("paused: " + job.label + " (" + std::to_string(event.bytes) + " bytes kept)" + tag(id, event));
    } else {
        ++failures;
        human::Report report = human::Report::fromEvent(event);
        report.id = id;
        const std::string type = state == "aborted" ? "WasAborted" : "WasFailed";
        view.result("failed: " + job.label + ": " + human::withCode(report) + tag(id, event, type));
    }
    finish(id);
}

void TransferRunner::finish(const std::string& id)
{
    running.erase(id);
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
    if (!backend.pausesOnInterrupt())
        return leave("interrupted: the downloads go on in " + backend.name() + "; pause them with:", "pause", "");
    ClientEvent ignored;
    for (const std::string& id : order) {
        if (running.count(id))
            backend.control("pause", id, QJsonObject(), &ignored);
    }
    view.message("interrupted: pausing " + std::to_string(running.size()) +
                 " download(s) (Ctrl-C again to quit at once)");
}

void TransferRunner::onLost(const std::string& why)
{
    // What reached the disk is still there: a new owner resumes it.
    leave("continue with:", "resume", backend.name() + " " + why);
}

void TransferRunner::leave(const std::string& words, const std::string& action, const std::string& failure)
{
    if (running.empty())
        return;
    std::vector<std::string> ids;
    for (const std::string& id : order) {
        const auto found = running.find(id);
        if (found == running.end())
            continue;
        view.remove(id);
        if (!failure.empty())
            ++failures, view.result("failed: " + found->second.label + ": " + failure + " [id " + id + "]");
        ids.push_back(id);
    }
    hint(words, action, ids);
    running.clear();
    loop.quit();
}

void TransferRunner::reportStopped()
{
    std::vector<std::string> resumable;
    for (const std::string& id : order) {
        const auto found =
            std::find_if(stopped.begin(), stopped.end(), [&](const Stopped& s) { return s.job.id == id; });
        if (found == stopped.end())
            continue;
        resumable.push_back(id);
        view.result("paused: " + found->job.label + " (" + std::to_string(found->bytes) + " bytes kept) [id " + id +
                    "]");
    }
    if (!resumable.empty())
        hint("continue with:", "resume", resumable);
}

void TransferRunner::hint(const std::string& words, const std::string& action, const std::vector<std::string>& ids)
{
    std::string text = words + " " + command + " " + action;
    for (const std::string& id : ids)
        text += " " + id;
    view.message(text);
}
