#pragma once

#include <string>
#include <vector>

// The folders under which a request from the TCP interface or NATS may save: those of
// Service/AllowedDirectories (separated by ":"), the data directory's download/ by default.
// A folder is judged after ".." and symbolic links are resolved, so neither leads out. A plain
// value, read-only after construction.
class AllowedFolders
{
public:
    AllowedFolders() = default;
    // list: the setting's text, empty for the default.
    AllowedFolders(const std::string& list, const std::string& dataPath);

    // The folder dir names, resolved, when it lies under an allowed one; empty with *problem
    // (a sentence naming the setting) otherwise. dir is absolute.
    std::string admit(const std::string& dir, std::string* problem) const;
    // The allowed folders, resolved, ":"-separated, as a person reads them.
    std::string describe() const;

    // path with symbolic links and ".." resolved where it exists, and ".." applied by name in the
    // part that does not exist yet; empty when a part of it is no folder or cannot be read.
    static std::string resolve(const std::string& path);

private:
    std::vector<std::string> roots;
};
