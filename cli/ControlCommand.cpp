#include "ControlCommand.h"

#include "HumanText.h"
#include "OwnerConnection.h"
#include "ProgressView.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <set>

namespace {

// A transfer notices a pause or abort within its next read; a discarded record goes at once.
const int answerTimeoutMs = 30000;

} // namespace

ControlCommand::ControlCommand(OwnerConnection& owner, ProgressView& view, bool json)
    : owner(owner), view(view), json(json)
{
}

int ControlCommand::run(const std::string& action, const std::vector<std::string>& ids)
{
    std::string error;
    if (!owner.listen(&error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
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
    QObject::connect(&owner, &OwnerConnection::statusReceived, &loop, [&](const ClientEvent& event) {
        if (!waiting.count(event.session))
            return;
        if (json)
            std::printf("%s\n", event.toJson().constData());
        if (event.type == "WasAborted" && !pause)
            done(event.session, true, (action == "forget" ? "forgotten: " : "aborted: ") + event.session);
        else if (event.type != "WasAborted")
            done(event.session, false,
                 "failed: " + event.session + ": " + human::withCode(human::Report::fromEvent(event)) + " [" +
                     event.type + "]");
    });
    QObject::connect(&owner, &OwnerConnection::ended, &loop, [&](const QJsonObject& event) {
        const std::string id = event.value("session").toString().toStdString();
        const std::string state = event.value("state").toString().toStdString();
        if (pause && state == "paused")
            done(id, true,
                 "paused: " + id + " (" + std::to_string(static_cast<qint64>(event.value("partialBytes").toDouble())) +
                     " bytes kept)");
        else if (!pause && (state == "aborted" || state == "not started"))
            done(id, true, "aborted: " + id);
        else if (event.contains("code"))
            done(id, false, "ended: " + id + ": " + state + ": " + human::withCode(human::Report::fromJson(event, id)));
        else
            done(id, false, "ended: " + id + ": " + state);
    });
    for (const std::string& id : std::set<std::string>(ids.begin(), ids.end())) {
        const ServiceClient::Answer answer =
            owner.post("/v1/downloads/" + QUrl::toPercentEncoding(QString::fromStdString(id)).toStdString() + "/" +
                       action);
        if (answer.status == 202) {
            waiting.insert(id);
            continue;
        }
        ++failures;
        if (json)
            std::printf("%s\n", QJsonDocument(answer.body).toJson(QJsonDocument::Compact).constData());
        human::Report report = human::Report::fromJson(answer.body, id);
        report.text = answer.error;
        // The owner's own refusal of a forget already says what to do instead.
        view.result("failed: " + id + ": " +
                    (action == "forget" && report.code ? answer.error + " (code " + std::to_string(report.code) + ")"
                                                       : human::withCode(report)));
    }
    QTimer::singleShot(answerTimeoutMs, &loop, &QEventLoop::quit);
    if (!waiting.empty())
        loop.exec();
    for (const std::string& id : waiting) {
        ++failures;
        view.result("failed: " + id + ": no answer");
    }
    return failures == 0 ? 0 : 1;
}
