#pragma once

#include <string>

// The file name a server names in a Content-Disposition value, reduced so that it
// cannot leave the destination folder: the last path segment, without control
// characters; "" when there is none (or it is "." or ".."). filename*=UTF-8''…
// (percent-encoded) is preferred over filename=. Pure; callable from any thread.
std::string serverFilenameFromDisposition(const std::string& value);

// name reduced the same way: last segment after "/" or "\", control characters (NUL included)
// removed, "" for "." and "..".
std::string confinedFileName(std::string name);
