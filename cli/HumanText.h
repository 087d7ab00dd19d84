#pragma once

#include <string>

class QJsonObject;
struct ClientEvent;

// What a report of the component or an answer of the owner means to a person. The component's
// texts stay as they are in --json; here they become words a user can act on, with the code
// kept visible for searching and bug reports. Free functions, any thread.
namespace human {

struct Report
{
    std::string type; // "WasFailed", "DownloaderError", ...; empty for an answer of the owner
    int code = 0;
    std::string text;     // as sent
    std::string id;       // the download concerned, named where the words are about it
    int httpStatus = 0;   // of the last reply; 0 when unknown
    std::string tlsCause; // why a handshake failed; empty when unknown
    int retryAfter = -1;  // seconds the server asked to wait; -1 when it did not

    // From an ended event, a status event or an answer body ("error" stands in for "text").
    static Report fromJson(const QJsonObject& object, const std::string& id);
    static Report fromEvent(const ClientEvent& event);
};

// The words alone: "HTTP 404 Not Found".
std::string text(const Report& report);
// The words and the code: "HTTP 404 Not Found (code 260)"; without a code part for code 0.
std::string withCode(const Report& report);
// The status that a text of the network library names ("... server replied: Not Found"); 0 when none.
int httpStatusOf(const std::string& text);
// "Not Found" for 404; empty for a status without a standard phrase.
std::string reasonPhrase(int status);

} // namespace human
