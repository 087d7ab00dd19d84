#pragma once

#include <string>

// Process-wide failure log. Callers hand in finished lines.
class Logger
{
public:
    static Logger* getDefaultInstance();

    virtual ~Logger() = default;
    virtual void error(const std::string& line) = 0;
};
