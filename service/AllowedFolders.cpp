#include "AllowedFolders.h"

#include "InputPolicy.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>

namespace {

std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool under(const std::string& path, const std::string& root)
{
    if (root == "/")
        return true;
    return path == root ||
           (path.compare(0, root.size(), root) == 0 && path.size() > root.size() && path[root.size()] == '/');
}

} // namespace

AllowedFolders::AllowedFolders(const std::string& list, const std::string& dataPath)
{
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string folder = list.substr(start, end - start);
        const std::string resolved = folder.empty() || folder[0] != '/' ? std::string() : resolve(folder);
        if (!resolved.empty())
            roots.push_back(resolved);
        start = end + 1;
    }
    if (list.empty()) {
        const std::string download = resolve(dataPath + "download");
        if (!download.empty())
            roots.push_back(download);
    }
}

std::string AllowedFolders::resolve(const std::string& path)
{
    std::vector<std::string> missing; // the tail that does not exist, last part first
    std::vector<std::string> parts = components(path);
    std::string existing;
    for (;;) {
        std::string prefix;
        for (const std::string& part : parts)
            prefix += "/" + part;
        if (prefix.empty())
            prefix = "/";
        char real[PATH_MAX];
        if (::realpath(prefix.c_str(), real)) {
            existing = real;
            break;
        }
        // A dangling symbolic link is there all the same: creating folders through it would leave.
        struct stat link;
        if (errno != ENOENT || parts.empty() || ::lstat(prefix.c_str(), &link) == 0)
            return std::string();
        missing.push_back(parts.back());
        parts.pop_back();
    }
    std::vector<std::string> result = components(existing);
    for (auto part = missing.rbegin(); part != missing.rend(); ++part) {
        if (*part == "..") {
            if (!result.empty())
                result.pop_back();
        } else if (*part != ".") {
            result.push_back(*part);
        }
    }
    std::string joined;
    for (const std::string& part : result)
        joined += "/" + part;
    return joined.empty() ? "/" : joined;
}

std::string AllowedFolders::admit(const std::string& dir, std::string* problem) const
{
    const std::string resolved = resolve(dir);
    if (resolved.empty()) {
        *problem = "dir " + inputPolicy::quoted(dir) + " is no folder that can be reached";
        return std::string();
    }
    for (const std::string& root : roots) {
        if (under(resolved, root))
            return resolved;
    }
    *problem = "dir " + inputPolicy::quoted(dir) + " lies outside the folders this interface may save to (" +
               (roots.empty() ? std::string("none") : describe()) +
               "); the owner's Service/AllowedDirectories setting names them";
    return std::string();
}

std::string AllowedFolders::describe() const
{
    std::string text;
    for (const std::string& root : roots)
        text += (text.empty() ? "" : ":") + root;
    return text;
}
