#include "RequestStore.h"

#include "ConfigurationManager.h"
#include "IXMLTool.h"
#include "KeyValueSchema.h"

#include <QFileInfo>
#include <QString>
#include <memory>

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
    std::unique_ptr<IXMLTool> reader(bootStrapCreate(texts.front(), boost::any(0)));
    record = RequestStore::Record();
    record.id = id;
    if (reader) {
        record.url = reader->find("url").second;
        record.destinationFolder = reader->find("destinationFolder").second;
        record.fileHash = reader->find("fileHash").second;
        record.temporalFilename = reader->find("temporalFilename").second;
    }
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
