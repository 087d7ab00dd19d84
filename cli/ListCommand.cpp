#include "ListCommand.h"

#include "ByteFormat.h"
#include "DownloadBackend.h"
#include "HumanText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdio>

ListCommand::ListCommand(DownloadBackend& backend, bool json) : backend(backend), json(json) {}

int ListCommand::run()
{
    QJsonArray downloads;
    std::string error;
    if (!backend.list(&downloads, &error)) {
        std::fprintf(stderr, "haul: cannot list the downloads: %s\n", error.c_str());
        return 1;
    }
    int shown = 0;
    for (const QJsonValue& value : downloads) {
        const QJsonObject download = value.toObject();
        std::string state = download.value("state").toString().toStdString();
        // What is over is history: the page shows it, the list what can still change.
        if (state == "finished" || state == "aborted")
            continue;
        ++shown;
        if (json) {
            std::printf("%s\n", QJsonDocument(download).toJson(QJsonDocument::Compact).constData());
            continue;
        }
        const std::string id = download.value("id").toString().toStdString();
        const std::string url = download.value("url").toString().toStdString();
        const std::string folder = download.value("dir").toString().toStdString();
        const std::string host = download.value("host").toString().toStdString();
        const auto bytes = static_cast<std::uint64_t>(download.value("bytes").toDouble());
        const auto size = static_cast<std::uint64_t>(download.value("size").toDouble());
        if (state == "failed")
            state += ": " + human::withCode(human::Report::fromJson(download, id));
        else if (state == "paused" && download.value("interrupted").toBool())
            state = "interrupted";
        const std::string destination =
            (folder.empty() ? std::string("(data directory)") : folder) + (host.empty() ? "" : " on " + host);
        // The exact count where the short form rounds.
        std::string figures = formatBytes(bytes) + (bytes >= 1024 ? " (" + std::to_string(bytes) + " bytes)" : "");
        if (size > 0)
            figures += " of " + formatBytes(size);
        std::printf("%s  %s\n  to %s, %s, %s\n", id.c_str(), url.c_str(), destination.c_str(), figures.c_str(),
                    state.c_str());
    }
    if (!json && shown == 0)
        std::printf("no persisted downloads\n");
    if (!error.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
