#pragma once

#include <string>

// Base of every payload that travels inside a LocalMessage.
class ISerializable
{
public:
    virtual std::string getSerializableType() const = 0;
    virtual ~ISerializable() = default;
};
