#pragma once

#include "ConfigKeys.h"

#include <string>
#include <utility>
#include <vector>

// Why value cannot be given to key: "unknown key ..." (with the nearest known key) or what the
// key accepts; empty when it can.
std::string configValueProblem(const std::string& key, const std::string& value);

// The first problem of an INI file ("conf.ini:3: unknown key ...") or of a --set pair ("--set
// K=V: must be 0 or more"); empty when the file (if any) and every setting are accepted.
std::string configProblem(const std::string& file, const std::vector<std::pair<std::string, std::string>>& settings);
