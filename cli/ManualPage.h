#pragma once

#include <string>

// The manual page: the hand-written template at path with its marker lines replaced from the
// option, command and configuration tables:
//   @SYNOPSIS@        a synopsis line for each command
//   @OPTIONS@         the global options
//   @OPTIONS NAME@    the options of the command NAME
//   @KEYS@            the configuration keys
// Empty with *error set when the template cannot be read or has a marker of no table.
std::string manualPage(const std::string& path, std::string* error);
