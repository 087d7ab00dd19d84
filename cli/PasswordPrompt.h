#pragma once

#include <string>

// The password for a user name: HAUL_PASSWORD when set, else asked on the terminal without
// echo, else one line of standard input. Never taken from the command line. Main thread.
// False when none could be read.
bool readPassword(const std::string& user, std::string& password);
