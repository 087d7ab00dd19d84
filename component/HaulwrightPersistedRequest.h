#pragma once

#include <string>

// A start request as the store keeps it. Credentials are never persisted.
struct HaulwrightPersistedRequest
{
    std::string destinationFolder;
    std::string url;
    std::string fileHash;
    std::string temporalFilename;
};

// Text form for KeyValueSchema's templates (found by argument-dependent lookup).
std::string wrapValue(const HaulwrightPersistedRequest& value);
bool unwrapValue(const std::string& text, HaulwrightPersistedRequest& value);
