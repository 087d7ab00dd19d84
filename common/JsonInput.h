#pragma once

#include <QJsonObject>
#include <cstddef>
#include <string>

// A JSON object from outside (a request body, a NATS message): empty, with *error when asked,
// if the text is larger than a body may be, of another shape than jsonShapeProblem allows,
// malformed or no object. The shape is judged before the parser sees the text.
QJsonObject jsonObjectFrom(const char* data, std::size_t size, std::string* error = nullptr);

// Why JSON text is refused before it is parsed, in one pass: nested deeper than
// inputPolicy::maxJsonDepth, not UTF-8, or a key twice in one object (the parser leaks the
// value it replaces). Empty when none of these holds; whether it is JSON at all is the parser's.
std::string jsonShapeProblem(const char* data, std::size_t size);
