#pragma once

#include <exception>
#include <string>

namespace Schema {

class _scheme_exception : public std::exception
{
public:
    explicit _scheme_exception(const char* message) : text(message) {}
    ~_scheme_exception() override = default;
    const char* what() const noexcept override { return text.c_str(); }

private:
    std::string text;
};

struct _key_does_not_exist_exception : _scheme_exception
{
    explicit _key_does_not_exist_exception(const char* message) : _scheme_exception(message) {}
};

struct _query_exception : _scheme_exception
{
    explicit _query_exception(const char* message) : _scheme_exception(message) {}
};

struct _type_not_match_exception : _scheme_exception
{
    explicit _type_not_match_exception(const char* message) : _scheme_exception(message) {}
};

} // namespace Schema
