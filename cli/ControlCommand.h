#pragma once

#include <string>
#include <vector>

class OwnerConnection;
class ProgressView;

// "haul pause ID..." and "haul abort ID...": one request each to the owner, then waits until
// each download has stopped or was discarded. Main thread.
class ControlCommand
{
public:
    ControlCommand(OwnerConnection& owner, ProgressView& view, bool json);

    // action: "pause" or "abort". 0 when every one was done, 1 otherwise.
    int run(const std::string& action, const std::vector<std::string>& ids);

private:
    OwnerConnection& owner;
    ProgressView& view;
    const bool json;
};
