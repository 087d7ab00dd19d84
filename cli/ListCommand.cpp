#include "ListCommand.h"

#include "ByteFormat.h"
#include "RequestStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <exception>

ListCommand::ListCommand(bool json) : json(json) {}

int ListCommand::run()
{
    std::vector<RequestStore::Record> records;
    try {
        records = RequestStore::records();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "haul: cannot read the persisted requests: %s\n", e.what());
        return 1;
    }
    for (const RequestStore::Record& record : records) {
        if (json) {
            QJsonObject object;
            object.insert("id", QString::fromStdString(record.id));
            object.insert("url", QString::fromStdString(record.url));
            object.insert("destinationFolder", QString::fromStdString(record.destinationFolder));
            object.insert("fileHash", QString::fromStdString(record.fileHash));
            object.insert("partialFile", QString::fromStdString(record.temporalFilename));
            object.insert("partialBytes", static_cast<double>(record.partialBytes));
            std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
            continue;
        }
        const std::string destination =
            record.destinationFolder.empty() ? std::string("(data directory)") : record.destinationFolder;
        const std::string partial = record.hasPartialFile ? formatBytes(record.partialBytes) + " (" +
                                                                std::to_string(record.partialBytes) + " bytes)"
                                                          : std::string("no partial file");
        std::printf("%s  %s\n  to %s, %s\n", record.id.c_str(), record.url.c_str(), destination.c_str(),
                    partial.c_str());
    }
    if (!json && records.empty())
        std::printf("no persisted downloads\n");
    return 0;
}
