#pragma once

#include <QByteArray>
#include <cstdint>
#include <string>

class LocalMessage;

// One report about a download: a status report on a reply topic or a progress report. A plain
// value, the same object in the owner's event stream and in haul --json.
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

    // A status or progress report as the component posted it.
    static ClientEvent fromMessage(const LocalMessage& message);
    // The inverse of toJson, for clients of the owner.
    static ClientEvent fromJson(const QByteArray& json);
    // One compact JSON object, without the line end.
    QByteArray toJson() const;
};
