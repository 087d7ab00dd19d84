#pragma once

#include <string>

// Identifier of a request session: a value type holding the identifier's text.
class UUId
{
public:
    UUId() = default;
    explicit UUId(std::string text) : value(std::move(text)) {}

    // A fresh random identifier (implemented by the host).
    static UUId generate();

    const std::string& getValue() const { return value; }
    bool operator<(const UUId& other) const { return value < other.value; }
    bool operator==(const UUId& other) const { return value == other.value; }
    bool operator!=(const UUId& other) const { return value != other.value; }

private:
    std::string value;
};
