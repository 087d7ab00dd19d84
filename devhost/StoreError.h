#pragma once

#include <stdexcept>
#include <string>

// Any failure of the SQLite key-value store: names the operation, the file and SQLite's
// message. A value type thrown from whichever thread used the store.
class StoreError : public std::runtime_error
{
public:
    StoreError(const std::string& operation, const std::string& file, const std::string& reason);

    const std::string& operation() const { return op; }
    const std::string& file() const { return path; }

private:
    std::string op;
    std::string path;
};
