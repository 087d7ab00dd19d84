#pragma once

#include <string>

// A SHA-1 digest as lower-case hexadecimal text. A plain value.
class FileDigest
{
public:
    FileDigest() = default;
    explicit FileDigest(const std::string& text);

    // Digest of the file's contents; false (text unchanged) when it cannot be read.
    bool readFile(const std::string& path);
    const std::string& text() const { return digest; }

    bool operator==(const FileDigest& other) const { return digest == other.digest; }
    bool operator!=(const FileDigest& other) const { return digest != other.digest; }

private:
    std::string digest;
};
