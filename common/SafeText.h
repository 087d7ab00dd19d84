#pragma once

#include <cstddef>
#include <string>

// Texts that leave the process: reports, log lines, answers to clients. Every function is one
// pass over its input, so text from outside of any length costs time in proportion to it.

// text with the user information ("user:password@") of every URL in it removed: the network
// library's error texts name the URL it was given, credentials included.
std::string withoutUserInfo(const std::string& text);

// text on one line: control characters written as \n, \r, \t or \xHH, so a server's error text
// can neither split a result line nor forge a log line.
std::string oneLine(const std::string& text);

// What a client is shown of a text from anywhere: without user information, on one line, and
// cut (at a character boundary, marked "…") past maxBytes.
std::string clientText(const std::string& text, std::size_t maxBytes = 8192);
