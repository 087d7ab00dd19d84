#pragma once

#include "ConfigurationManager.h"

#include <map>
#include <set>
#include <shared_mutex>
#include <string>

// The development host's configuration: the values of one INI file plus in-memory overrides
// set by the command line and the tests. One process-wide instance, never destroyed;
// readable and writable from any thread.
class Configuration : public ConfigurationManager
{
public:
    static Configuration& instance();

    int getValue(const std::string& key, std::string& value, int flags) override;

    // Replaces the file's values by those of the INI file at path; false when it cannot be read.
    bool loadFile(const std::string& path);
    void set(const std::string& key, const std::string& value);
    // The key then reads as missing, even when the file has it.
    void unset(const std::string& key);
    // Drops the file's values and every override.
    void clear();

private:
    Configuration() = default;

    // Guards fileValues, overrides and hidden.
    std::shared_mutex mutex;
    std::map<std::string, std::string> fileValues;
    std::map<std::string, std::string> overrides;
    std::set<std::string> hidden;
};
