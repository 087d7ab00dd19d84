#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A configuration key that haul or its plugin reads, and the values it accepts. The README's
// "Configuration keys" table lists the same keys.
struct ConfigKey
{
    enum class Kind
    {
        Text,
        Number,
        YesNo
    };
    const char* name;
    Kind kind;
    std::int64_t least; // Number only
    std::int64_t most;
};

const std::vector<ConfigKey>& configKeys();

// Why value cannot be given to key: "unknown key ..." or what the key accepts; empty when it can.
std::string configValueProblem(const std::string& key, const std::string& value);

// The first problem of an INI file ("conf.ini:3: unknown key ...") or of a --set pair ("--set
// K=V: must be 0 or more"); empty when the file (if any) and every setting are accepted.
std::string configProblem(const std::string& file, const std::vector<std::pair<std::string, std::string>>& settings);

// The positive whole number configured under key, else fallback (missing, not a number, or not
// above 0).
int positiveSetting(const char* key, int fallback);
