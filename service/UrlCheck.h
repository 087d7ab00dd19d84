#pragma once

#include <string>

// Why text is no URL haul can download ("bad URL \"...\": missing host"); empty when it is one.
std::string urlProblem(const std::string& text);
