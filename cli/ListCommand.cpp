#include "ListCommand.h"

#include "ByteFormat.h"
#include "OwnerConnection.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdio>

ListCommand::ListCommand(OwnerConnection& owner, bool json) : owner(owner), json(json) {}

int ListCommand::run()
{
    const ServiceClient::Answer answer = owner.get("/v1/downloads");
    if (answer.status != 200) {
        std::fprintf(stderr, "haul: cannot list the downloads: %s\n", answer.error.c_str());
        return 1;
    }
    const QJsonArray records = answer.body.value("persisted").toArray();
    for (const QJsonValue& value : records) {
        const QJsonObject record = value.toObject();
        const std::string id = record.value("id").toString().toStdString();
        const std::string url = record.value("url").toString().toStdString();
        const std::string folder = record.value("dir").toString().toStdString();
        const auto bytes = static_cast<std::uint64_t>(record.value("partialBytes").toDouble());
        const bool running = record.value("outcome").toString() == "running";
        if (json) {
            std::printf("%s\n", QJsonDocument(record).toJson(QJsonDocument::Compact).constData());
            continue;
        }
        const std::string destination = folder.empty() ? std::string("(data directory)") : folder;
        std::printf("%s  %s\n  to %s, %s%s\n", id.c_str(), url.c_str(), destination.c_str(),
                    (formatBytes(bytes) + " (" + std::to_string(bytes) + " bytes)").c_str(),
                    running ? ", running" : "");
    }
    if (!json && records.empty())
        std::printf("no persisted downloads\n");
    return 0;
}
