#pragma once

#include <string>

struct CommandLine;
class BusClient;
class HostSession;
class InterruptWatcher;
class ProgressView;

// "haul get" and "haul resume": turn the command line into starts or resumes and run them.
// Main thread; returns the exit status.
class TransferCommand
{
public:
    TransferCommand(const CommandLine& line, HostSession& host, BusClient& client, ProgressView& view,
                    InterruptWatcher& watcher);

    int get();
    int resume();

private:
    // "haul [--data-dir DIR] resume": the data directory must be named again when it was given.
    std::string resumeCommand() const;

    const CommandLine& line;
    HostSession& host;
    BusClient& client;
    ProgressView& view;
    InterruptWatcher& watcher;
};
