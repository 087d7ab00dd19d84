#pragma once

#include <string>

// The completion scripts installed for haul, written from its option and configuration tables:
// commands, the options each takes, files or folders where an option takes one, and the keys of
// --set.
std::string bashCompletion();
std::string zshCompletion();
