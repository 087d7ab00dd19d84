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
    // A file fetched in pieces: "start-pos-end,..." as last made durable; empty: one connection's.
    std::string pieces = {};
    // How the last try ended, for a record that stays: "" while it runs (and after a crash),
    // "paused" or "failed". For a failure: its report and what a client needs to decide on
    // another try (HTTP status of the last answer, 0 for none; TLS cause; Retry-After in
    // seconds, -1 for none).
    std::string lastState = {};
    std::string lastType = {};
    int lastCode = 0;
    std::string lastText = {};
    int httpStatus = 0;
    std::string tlsCause = {};
    int retryAfter = -1;
};

// Text form for KeyValueSchema's templates (found by argument-dependent lookup).
std::string wrapValue(const HaulwrightPersistedRequest& value);
bool unwrapValue(const std::string& text, HaulwrightPersistedRequest& value);
