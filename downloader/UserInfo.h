#pragma once

#include <string>

// text with the user information ("user:password@") of every URL in it removed. Every text that
// leaves the plugin (reports, log lines) goes through it: the network library's error texts name
// the URL it was given, credentials included.
std::string withoutUserInfo(const std::string& text);
