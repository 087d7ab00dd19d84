#pragma once

#include "Outcome.h"

#include <string>

class QJsonObject;
struct ClientEvent;

// What a report of the component or an answer of the owner means to a person: decided from the
// code and the cause, never from the wording of a text. The component's texts stay as they are
// in --json; here they become words a user can act on, with the code kept visible for
// searching and bug reports. Free functions, any thread.
namespace human {

struct Report
{
    std::string type; // "WasFailed", "DownloaderError", ...
    int code = 0;
    std::string text; // as sent: the component's, or the owner's sentence of a refusal
    std::string id;   // the download concerned, named where the words are about it
    Cause cause;

    // From an event or an answer body ("error" stands in for "text").
    static Report fromJson(const QJsonObject& object, const std::string& id);
    static Report fromEvent(const ClientEvent& event);
};

// The words alone: "HTTP 404 Not Found".
std::string text(const Report& report);
// The words and the code: "HTTP 404 Not Found (code 260)"; without a code part for code 0.
std::string withCode(const Report& report);
// "Not Found" for 404; empty for a status without a standard phrase.
std::string reasonPhrase(int status);

} // namespace human
