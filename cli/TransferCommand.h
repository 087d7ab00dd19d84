#pragma once

#include <string>

struct CommandLine;
class InterruptWatcher;
class OwnerConnection;
class ProgressView;

// "haul get" and "haul resume": hand the downloads to the owner and follow them.
// Main thread; returns the exit status.
class TransferCommand
{
public:
    TransferCommand(const CommandLine& line, OwnerConnection& owner, ProgressView& view, InterruptWatcher& watcher);

    int get();
    int resume();

private:
    // "haul [--data-dir DIR] resume": the data directory must be named again when it was given.
    std::string resumeCommand() const;

    const CommandLine& line;
    OwnerConnection& owner;
    ProgressView& view;
    InterruptWatcher& watcher;
};
