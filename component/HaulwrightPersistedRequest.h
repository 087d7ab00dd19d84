#pragma once

#include <string>

// A start request as the store keeps it. Credentials are never persisted.
struct HaulwrightPersistedRequest
{
    std::string destinationFolder;
    std::string url;
    std::string fileHash;
    std::string temporalFilename;
    // Set just before the move to the final name, with the size moved, so that a Resume after a
    // crash finds the finished file instead of fetching it again.
    std::string finalFilename = {};
    std::string finalSize = {};
    // ETag (else Last-Modified) of the file being fetched: a resume continues only that file.
    std::string validator = {};
};

// Text form for KeyValueSchema's templates (found by argument-dependent lookup).
std::string wrapValue(const HaulwrightPersistedRequest& value);
bool unwrapValue(const std::string& text, HaulwrightPersistedRequest& value);
