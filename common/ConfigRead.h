#pragma once

#include <cstdint>
#include <string>

// The whole number configured under key (through the host's configuration) when the key's row
// in configKeys() accepts it, else that row's default: a missing, malformed or out-of-range
// value never reaches a reader. Throws std::invalid_argument for a key without a whole-number
// default. Any thread.
std::int64_t configInt(const std::string& key);
