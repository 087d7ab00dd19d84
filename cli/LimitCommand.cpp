// haul limit: changes rate limits of the running owner; transfers hear of it at their next read.
#include "ByteFormat.h"
#include "ControlCommand.h"
#include "DownloadBackend.h"
#include "HumanText.h"
#include "OwnerConnection.h"
#include "ProgressView.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <set>

namespace {

void printJson(const QJsonObject& object)
{
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
}

std::string rateText(std::int64_t rate)
{
    return "at most " + formatBytes(static_cast<std::uint64_t>(rate)) + "/s";
}

} // namespace

int ControlCommand::limit(OwnerConnection& owner, std::int64_t rate, const std::vector<std::string>& ids)
{
    const QJsonObject body{{"maxRate", static_cast<double>(rate)}};
    if (ids.empty()) {
        const ServiceClient::Answer answer = owner.post("/v1/limit", body);
        if (answer.status != 200) {
            view.failure("cannot set the overall limit: " +
                         (answer.status == 0 ? answer.error : answer.body.value("text").toString().toStdString()));
            return 1;
        }
        if (json)
            printJson(QJsonObject{{"type", "Limited"}, {"maxRate", static_cast<double>(rate)}});
        view.result(rate > 0 ? "limit: every download together " + rateText(rate)
                             : "limit: no overall limit (until the owner stops)");
        return 0;
    }
    int failures = 0;
    for (const std::string& id : std::set<std::string>(ids.begin(), ids.end())) {
        ClientEvent refusal;
        if (backend.control("limit", id, body, &refusal)) {
            if (json)
                printJson(QJsonObject{{"type", "Limited"},
                                      {"session", QString::fromStdString(id)},
                                      {"maxRate", static_cast<double>(rate)}});
            view.result(rate > 0 ? "limit: " + id + " " + rateText(rate) : "limit: " + id + " has no limit of its own");
            continue;
        }
        ++failures;
        if (json)
            std::printf("%s\n", refusal.toJson().constData());
        view.result("failed: " + id + ": " + human::withCode(human::Report::fromEvent(refusal)));
    }
    return failures == 0 ? 0 : 1;
}
