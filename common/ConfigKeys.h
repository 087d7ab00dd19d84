#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A configuration key that haul or its plugin reads, what it accepts and what its absence means.
// The checks of the command line, the readers' defaults and the manual page all come from
// configKeys(), so a key is added, limited or given a default in one row.
struct ConfigKey
{
    enum class Kind
    {
        Text,
        Folders, // separated by ":"
        Number,
        YesNo
    };
    const char* name;
    Kind kind;
    std::int64_t least; // Number only
    std::int64_t most;
    // What a missing key means: a Number key's whole number, else words for what its reader
    // works out ("HOSTNAME:PID").
    const char* defaultText;
    // One line for the manual page.
    const char* help;
    // Set by haul's host before the plugin starts, unless configured: the plugin's own default
    // is for any host, this one for haul's live lines.
    const char* hostValue;

    // Why value cannot be given to this key ("must be 0 or more"); empty when it can.
    std::string valueProblem(const std::string& value) const;
    // What it accepts, in words: "1 to 65535", "text", "yes or no".
    std::string values() const;
};

const std::vector<ConfigKey>& configKeys();

// The key of that name; nullptr for none.
const ConfigKey* findConfigKey(const std::string& name);

// The table's default of a Number key. Throws std::invalid_argument for any other name: a reader
// naming it is a mistake of the program.
std::int64_t configDefault(const std::string& name);
