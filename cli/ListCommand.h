#pragma once

class DownloadBackend;

// "haul list": the persisted requests as the owner knows them, or those the hosts of a cluster
// hold, as a table or one JSON object a line. Main thread.
class ListCommand
{
public:
    ListCommand(DownloadBackend& backend, bool json);

    // 0, or 1 when the owner cannot be asked.
    int run();

private:
    DownloadBackend& backend;
    const bool json;
};
