#pragma once

class OwnerConnection;

// "haul list": the persisted requests as the owner knows them, as a table or one JSON object
// a line. Main thread.
class ListCommand
{
public:
    ListCommand(OwnerConnection& owner, bool json);

    // 0, or 1 when the owner cannot be asked.
    int run();

private:
    OwnerConnection& owner;
    const bool json;
};
