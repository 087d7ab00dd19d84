#pragma once

#include <functional>
#include <string>

// Whether this process may still complete a download, asked just before a finished file is
// moved to its final name. A process that shares downloads with others (a cluster host) sets
// it: another may have taken a download over while this one was stopped or cut off, and then
// only one of them may save it. Without a gate every completion may proceed.
enum class Completion
{
    Proceed, // the file is moved
    Drop,    // another process has the download: the partial file and the record go
};

using CompletionGate = std::function<Completion(const std::string& session)>;

// Replaces the gate (an empty one removes it). Callable from any thread.
void setCompletionGate(CompletionGate gate);
Completion mayComplete(const std::string& session);
