#include "ListCommand.h"

#include "ByteFormat.h"
#include "HumanText.h"
#include "OwnerConnection.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <set>

ListCommand::ListCommand(OwnerConnection& owner, bool json) : owner(owner), json(json) {}

int ListCommand::run()
{
    const ServiceClient::Answer answer = owner.get("/v1/downloads");
    if (answer.status != 200) {
        std::fprintf(stderr, "haul: cannot list the downloads: %s\n", answer.error.c_str());
        return 1;
    }
    QJsonArray records = answer.body.value("persisted").toArray();
    // Starts still waiting in the owner's queue have no record yet; they are shown as well.
    std::set<QString> recorded;
    for (const QJsonValue& value : records)
        recorded.insert(value.toObject().value("id").toString());
    for (const QJsonValue& value : answer.body.value("running").toArray()) {
        const QJsonObject entry = value.toObject();
        if (!recorded.count(entry.value("id").toString()))
            records.append(QJsonObject{{"id", entry.value("id")}, {"url", entry.value("url")},
                                       {"state", entry.value("state")}, {"partialBytes", entry.value("bytes")}});
    }
    for (const QJsonValue& value : records) {
        const QJsonObject record = value.toObject();
        const std::string id = record.value("id").toString().toStdString();
        const std::string url = record.value("url").toString().toStdString();
        const std::string folder = record.value("dir").toString().toStdString();
        const auto bytes = static_cast<std::uint64_t>(record.value("partialBytes").toDouble());
        std::string state = record.value("state").toString().toStdString();
        if (state == "failed") {
            human::Report report = human::Report::fromJson(record, record.value("id").toString().toStdString());
            report.type = "WasFailed";
            state += ": " + human::withCode(report);
        }
        if (json) {
            std::printf("%s\n", QJsonDocument(record).toJson(QJsonDocument::Compact).constData());
            continue;
        }
        const std::string destination = folder.empty() ? std::string("(data directory)") : folder;
        std::printf("%s  %s\n  to %s, %s, %s\n", id.c_str(), url.c_str(), destination.c_str(),
                    (formatBytes(bytes) + " (" + std::to_string(bytes) + " bytes)").c_str(), state.c_str());
    }
    if (!json && records.empty())
        std::printf("no persisted downloads\n");
    return 0;
}
