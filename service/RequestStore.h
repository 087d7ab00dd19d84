#pragma once

#include "HaulwrightPersistedRequest.h"

#include <cstdint>
#include <string>
#include <vector>

// Read-only view of the plugin's persisted requests (the store "DownloadRequests" of the
// configured domain in the data directory). Used on the main thread; every call opens the
// store afresh, so records written meanwhile by the component are seen.
class RequestStore
{
public:
    struct Record : HaulwrightPersistedRequest
    {
        std::string id;
        bool hasPartialFile = false;
        std::uint64_t partialBytes = 0;
    };

    // Every record in key order. Throws std::exception when the store cannot be opened.
    static std::vector<Record> records();
    // False when there is no record under id.
    static bool find(const std::string& id, Record& record);
};
