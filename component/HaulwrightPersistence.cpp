// Persisted requests: the store "DownloadRequests", keyed by session identifier.
#include "Haulwright.h"
#include "IXMLTool.h"

#include <cstdio>
#include <memory>

namespace {
const char* const recordName = "HaulwrightPersistedRequest";
}

std::string wrapValue(const HaulwrightPersistedRequest& value)
{
    const std::unique_ptr<IXMLTool> tool(bootStrapCreate());
    std::string body;
    body += tool->makeElement("destinationFolder", tool->encode(value.destinationFolder), false);
    body += tool->makeElement("url", tool->encode(value.url), false);
    body += tool->makeElement("fileHash", tool->encode(value.fileHash), false);
    body += tool->makeElement("temporalFilename", tool->encode(value.temporalFilename), false);
    body += tool->makeElement("finalFilename", tool->encode(value.finalFilename), false);
    body += tool->makeElement("finalSize", tool->encode(value.finalSize), false);
    body += tool->makeElement("validator", tool->encode(value.validator), false);
    return tool->makeElement(recordName, body, false);
}

bool unwrapValue(const std::string& text, HaulwrightPersistedRequest& value)
{
    const std::unique_ptr<IXMLTool> tool(bootStrapCreate(text, boost::any(0)));
    const auto take = [&tool](const char* name, std::string& field) {
        std::pair<bool, std::string> found = tool->find(name);
        if (found.first)
            field = found.second;
    };
    take("destinationFolder", value.destinationFolder);
    take("url", value.url);
    take("fileHash", value.fileHash);
    take("temporalFilename", value.temporalFilename);
    take("finalFilename", value.finalFilename);
    take("finalSize", value.finalSize);
    take("validator", value.validator);
    return true;
}

int Haulwright::persistRequest(const std::string& key, HaulwrightPersistedRequest record)
{
    if (!requestStore)
        return 0;
    try {
        requestStore->insert(key, record);
        requestStore->flush();
    } catch (const std::exception& e) {
        HAUL_LOG(std::string("HAULWRIGHT: Schema insert/flush failed. Reason: ") + e.what());
        return 1;
    }
    return 0;
}

int Haulwright::readPersistedRequest(const std::string& key, HaulwrightPersistedRequest& record)
{
    if (!requestStore)
        return 0;
    try {
        requestStore->get(key, record);
    } catch (const std::exception& e) {
        HAUL_LOG(std::string("HAULWRIGHT: Schema get failed. Reason: ") + e.what());
        return 1;
    }
    return 0;
}

int Haulwright::removePersistedRequest(const std::string& key)
{
    if (!requestStore)
        return 0;
    try {
        requestStore->remove(key);
        requestStore->flush();
    } catch (const std::exception& e) {
        HAUL_LOG(std::string("HAULWRIGHT: Schema remove/flush failed. Reason: ") + e.what());
        return 1;
    }
    return 0;
}

void Haulwright::rememberValidator(const UUId& sessionId, const std::string& validator)
{
    const std::string key = sessionId.getValue();
    HaulwrightPersistedRequest record;
    if (requestStore && !requestStore->getRawData(key).empty() && readPersistedRequest(key, record) == 0) {
        record.validator = validator;
        persistRequest(key, record);
    }
}

bool Haulwright::discardPersistedRequest(const UUId& sessionId)
{
    HaulwrightPersistedRequest record;
    const std::string key = sessionId.getValue();
    // A store that cannot be read or changed keeps the download as it is: the partial file goes
    // only with its record, so an abort never claims a file gone that a Resume would still use.
    if (!requestStore || readPersistedRequest(key, record) != 0 || removePersistedRequest(key) != 0)
        return false;
    std::remove(record.temporalFilename.c_str());
    return true;
}
