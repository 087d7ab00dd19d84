// Persisted requests: the store "DownloadRequests", keyed by session identifier.
#include "Haulwright.h"
#include "SafeText.h"

#include <cstdio>
#include <memory>

int Haulwright::persistRequest(const std::string& key, HaulwrightPersistedRequest record)
{
    if (!requestStore)
        return 0;
    try {
        requestStore->insert(key, record);
        requestStore->flush();
    } catch (const std::exception& e) {
        rememberRecord(key, nullptr); // what the store holds now is not known
        HAUL_LOG(std::string("HAULWRIGHT: Schema insert/flush failed. Reason: ") + e.what());
        return 1;
    }
    rememberRecord(key, &record);
    return 0;
}

void Haulwright::rememberRecord(const std::string& key, const HaulwrightPersistedRequest* record)
{
    boost::lock_guard<boost::mutex> lock(recordsMutex);
    if (record)
        records[key] = *record;
    else
        records.erase(key);
}

bool Haulwright::hasRecord(const std::string& key)
{
    {
        boost::lock_guard<boost::mutex> lock(recordsMutex);
        if (records.count(key))
            return true;
    }
    return !requestStore->getRawData(key).empty();
}

int Haulwright::readPersistedRequest(const std::string& key, HaulwrightPersistedRequest& record)
{
    if (!requestStore)
        return 0;
    {
        boost::lock_guard<boost::mutex> lock(recordsMutex);
        const auto known = records.find(key);
        if (known != records.end()) {
            record = known->second;
            return 0;
        }
    }
    try {
        requestStore->get(key, record);
        rememberRecord(key, &record);
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
    rememberRecord(key, nullptr);
    try {
        requestStore->remove(key);
        requestStore->flush();
    } catch (const std::exception& e) {
        HAUL_LOG(std::string("HAULWRIGHT: Schema remove/flush failed. Reason: ") + e.what());
        return 1;
    }
    return 0;
}

int Haulwright::dropFinishedRequest(const std::string& key)
{
    if (!requestStore)
        return 0;
    rememberRecord(key, nullptr);
    try {
        requestStore->removeLazily(key);
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
    if (requestStore && hasRecord(key) && readPersistedRequest(key, record) == 0) {
        record.validator = validator;
        persistRequest(key, record);
    }
}

void Haulwright::rememberPieces(const UUId& sessionId, const std::string& pieces)
{
    const std::string key = sessionId.getValue();
    HaulwrightPersistedRequest record;
    if (requestStore && hasRecord(key) && readPersistedRequest(key, record) == 0 && record.pieces != pieces) {
        record.pieces = pieces;
        persistRequest(key, record);
    }
}

void Haulwright::recordOutcome(const UUId& sessionId, const std::string& state, const std::string& type, int code,
                               const std::string& text, const TransferDetails& details)
{
    const std::string key = sessionId.getValue();
    HaulwrightPersistedRequest record;
    if (!requestStore || !hasRecord(key) || readPersistedRequest(key, record) != 0)
        return;
    record.lastState = state;
    record.lastType = type;
    record.lastCode = code;
    record.lastText = withoutUserInfo(text);
    record.httpStatus = details.cause.httpStatus;
    record.tlsCause = details.cause.tlsCause;
    record.retryAfter = details.cause.retryAfter;
    persistRequest(key, record);
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
