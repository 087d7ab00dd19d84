#include "RequestStore.h"

#include "ConfigurationManager.h"
#include "KeyValueSchema.h"

#include <QFileInfo>
#include <QString>

namespace {

KeyValueSchema openStore()
{
    std::string domain;
    ConfigurationManager::getDefaultInstance()->getValue("Identities/DomainID", domain, 0);
    return PersistentManager().initLocal("DownloadRequests", domain, "", "");
}

bool readRecord(const KeyValueSchema& store, const std::string& id, RequestStore::Record& record)
{
    const std::vector<std::string> texts = store.getRawData(id);
    if (texts.empty())
        return false;
    record = RequestStore::Record();
    record.id = id;
    unwrapValue(texts.front(), record);
    const QFileInfo partial(QString::fromStdString(record.temporalFilename));
    record.hasPartialFile = !record.temporalFilename.empty() && partial.isFile();
    record.partialBytes = record.hasPartialFile ? static_cast<std::uint64_t>(partial.size()) : 0;
    return true;
}

} // namespace

std::vector<RequestStore::Record> RequestStore::records()
{
    const KeyValueSchema store = openStore();
    std::vector<Record> result;
    for (const std::string& key : store.keys()) {
        Record record;
        if (readRecord(store, key, record))
            result.push_back(record);
    }
    return result;
}

bool RequestStore::find(const std::string& id, Record& record)
{
    return readRecord(openStore(), id, record);
}
