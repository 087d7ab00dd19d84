#include "ControlCommand.h"

#include "DownloadBackend.h"
#include "HumanText.h"
#include "ProgressView.h"

#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <set>

namespace {

// A transfer notices a pause or abort within its next read; a discarded record goes at once.
const int answerTimeoutMs = 30000;

} // namespace

ControlCommand::ControlCommand(DownloadBackend& backend, ProgressView& view, bool json)
    : backend(backend), view(view), json(json)
{
}

int ControlCommand::run(const std::string& action, const std::vector<std::string>& ids)
{
    std::string error;
    if (!backend.listen(&error)) {
        view.failure(error);
        return 1;
    }
    const bool pause = action == "pause";
    std::set<std::string> waiting;
    int failures = 0;
    QEventLoop loop;
    const auto done = [&](const std::string& id, bool success, const std::string& line) {
        if (!waiting.erase(id))
            return;
        failures += success ? 0 : 1;
        view.result(line);
        if (waiting.empty())
            loop.quit();
    };
    backend.onEvent = [&](const ClientEvent& event) {
        const std::string& id = event.session;
        if (!waiting.count(id))
            return;
        if (json)
            std::printf("%s\n", event.toJson().constData());
        if (event.type == "Forgotten") {
            done(id, true, "forgotten: " + id);
            return;
        }
        if (event.type != "State")
            return;
        const std::string& state = event.state;
        // A cluster's download stays on its host, with its file.
        const std::string on = event.host.empty() ? "" : " on " + event.host;
        if (pause && state == "paused")
            done(id, true, "paused: " + id + " (" + std::to_string(event.bytes) + " bytes kept" + on + ")");
        else if (!pause && state == "aborted")
            done(id, true, "aborted: " + id);
        else if (state == "finished")
            done(id, false, "ended: " + id + ": finished first (saved: " + event.path + on + ")");
        else if (state == "failed" || state == "aborted")
            done(id, false, "ended: " + id + ": " + state + ": " + human::withCode(human::Report::fromEvent(event)));
    };
    for (const std::string& id : std::set<std::string>(ids.begin(), ids.end())) {
        ClientEvent refusal;
        if (backend.control(action, id, QJsonObject(), &refusal)) {
            waiting.insert(id);
            continue;
        }
        ++failures;
        if (json)
            std::printf("%s\n", refusal.toJson().constData());
        view.result("failed: " + id + ": " + human::withCode(human::Report::fromEvent(refusal)) +
                    (refusal.host.empty() ? "" : " [on " + refusal.host + "]"));
    }
    QTimer::singleShot(answerTimeoutMs, &loop, &QEventLoop::quit);
    if (!waiting.empty())
        loop.exec();
    backend.onEvent = nullptr;
    for (const std::string& id : waiting) {
        ++failures;
        view.result("failed: " + id + ": no answer");
    }
    return failures == 0 ? 0 : 1;
}
