#pragma once

#include <string>

// Process-wide configuration, read as text by key ("Section/Name").
class ConfigurationManager
{
public:
    static ConfigurationManager* getDefaultInstance();

    virtual ~ConfigurationManager() = default;
    // 0 when the key exists and value was filled; flags is always 0.
    virtual int getValue(const std::string& key, std::string& value, int flags) = 0;
};
