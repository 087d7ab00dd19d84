#pragma once

#include <string>

// The host program's data folder. Free functions, callable from any thread.

// $XDG_DATA_HOME/haulwright/, else $HOME/.local/share/haulwright/; always ends in "/".
std::string defaultDataPath();

// Creates path, path + "download/" and path + "cert/" (for the user alone when new); when cert/ holds no .crt yet and
// caBundle exists, links it there as system-ca.crt. Throws std::runtime_error when a folder
// cannot be created.
void prepareDataDirectory(const std::string& path, const std::string& caBundle = "/etc/ssl/certs/ca-certificates.crt");
