#pragma once

#include <QJsonObject>
#include <cstddef>
#include <string>

// A JSON object from outside (a request body, a NATS message): empty, with *error when asked,
// if the text is larger than a body may be, nested deeper than ours, malformed or no object.
// The depth is counted before the parser sees the text.
QJsonObject jsonObjectFrom(const char* data, std::size_t size, std::string* error = nullptr);
