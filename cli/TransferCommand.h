#pragma once

#include <string>

struct CommandLine;
class DownloadBackend;
class InterruptWatcher;
class ProgressView;

// "haul get" and "haul resume": hand the downloads to the owner or the cluster and follow them.
// Main thread; returns the exit status.
class TransferCommand
{
public:
    TransferCommand(const CommandLine& line, DownloadBackend& backend, ProgressView& view, InterruptWatcher& watcher);

    int get();
    int resume();

private:
    // "haul [--data-dir DIR]" or "haul --cluster URL": what was given must be named again.
    std::string command() const;

    const CommandLine& line;
    DownloadBackend& backend;
    ProgressView& view;
    InterruptWatcher& watcher;
};
