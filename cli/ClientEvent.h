#pragma once

#include <QByteArray>
#include <cstdint>
#include <string>

// One message that reached the client: a status report on the reply topic or a progress
// report. A plain value copied from the bus's threads to the main thread.
struct ClientEvent
{
    std::string type;
    std::string session;
    std::string topic;
    bool isProgress = false;
    int code = 0;
    std::string text;
    std::uint64_t currentBytes = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t bytesPerSecond = 0;

    // One compact JSON object, without the line end.
    QByteArray toJson() const;
};
