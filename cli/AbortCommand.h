#pragma once

#include <string>
#include <vector>

class BusClient;
class ProgressView;

// "haul abort ID...": one Abort each, waits for every answer. Main thread.
class AbortCommand
{
public:
    AbortCommand(BusClient& client, ProgressView& view);

    // 0 when every download was aborted, 1 otherwise.
    int run(const std::vector<std::string>& ids);

private:
    BusClient& client;
    ProgressView& view;
};
