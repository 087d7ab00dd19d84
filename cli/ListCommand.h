#pragma once

// "haul list": the persisted requests as a table, or one JSON object a line. Main thread.
class ListCommand
{
public:
    explicit ListCommand(bool json);

    // 0, or 1 when the store cannot be read.
    int run();

private:
    const bool json;
};
