#pragma once

#include "Logger.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// The development host's logger: timestamped lines to stderr or a log file, plus a capture
// sink for tests. One process-wide instance, never destroyed; callable from any thread.
class HostLogger : public Logger
{
public:
    static HostLogger& instance();

    // Writes "<ISO timestamp> <line>\n" in one write.
    void error(const std::string& line) override;

    // An empty path goes back to stderr; false when the file cannot be opened.
    bool setLogFile(const std::string& path);
    // Stops writing to stderr (a log file is still written).
    void setQuiet(bool quiet);

    void startCapture();
    // Lines exactly as given to error(), without timestamps.
    std::vector<std::string> captured() const;
    void clearCapture();
    void stopCapture();
    // Test hook: the next line containing text makes error() throw std::runtime_error(what),
    // as a log sink that fails would.
    void failOnce(const std::string& text, const std::string& what);

private:
    HostLogger() = default;

    // Guards logFile, quiet, capturing and lines, and orders writes.
    mutable std::mutex mutex;
    std::FILE* logFile = nullptr;
    bool quiet = false;
    bool capturing = false;
    std::vector<std::string> lines;
    std::string failText;
    std::string failWhat;
};
