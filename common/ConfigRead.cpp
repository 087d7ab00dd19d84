// Apart from ConfigKeys.cpp: only this needs the host's configuration, so a library without a
// host (libhaulcluster) can still use the table.
#include "ConfigRead.h"

#include "ConfigKeys.h"
#include "ConfigurationManager.h"

std::int64_t configInt(const std::string& key)
{
    const std::int64_t fallback = configDefault(key);
    std::string text;
    if (ConfigurationManager::getDefaultInstance()->getValue(key, text, 0) != 0 ||
        !findConfigKey(key)->valueProblem(text).empty())
        return fallback;
    return std::stoll(text);
}
