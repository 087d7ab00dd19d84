#pragma once

#include "DownloadRequest.h"

#include <string>
#include <vector>

// What a request to the owner's interface asks for, read from its method and target alone.
// Plain functions of outside text, one pass each: the interface and the fuzzers call them.
struct ApiRoute
{
    enum class Kind
    {
        Page,     // GET of one of the page's files
        List,     // GET /v1/downloads
        Start,    // POST /v1/downloads
        Control,  // POST /v1/downloads/ID/ACTION
        Events,   // GET /v1/events[?id=ID]
        Session,  // POST /v1/session: a page code or the token traded for a cookie
        PageLink, // POST /v1/page-link: a new one-time link to the page (Unix socket only)
        Settings, // GET /v1/settings: the configuration the owner runs with
        Limit,    // POST /v1/limit: the overall rate limit of the running owner
        Refused   // status and error say why
    };
    Kind kind = Kind::Refused;
    int status = 404;
    std::string error;
    std::string path;   // without the query, one line, for the request log
    std::string page;   // Page: the file's name
    std::string id;     // Control: the download; Events: only its events when not empty
    std::string action; // Control: pause, resume, abort, forget or limit
    std::string token;  // Events: ?token=, for clients that cannot send a header
};

// method as the request line spells it ("GET", "POST", ...).
ApiRoute routeOf(const std::string& method, const std::string& target);

// The body of POST /v1/downloads, {"downloads":[{"url":...,"dir":...},...]}: the requests
// as given (checked later by the service), or false with why it is no such body.
bool decodeDownloads(const std::string& body, std::vector<DownloadRequest>& out, std::string& error);

// The body of POST /v1/downloads/ID/ACTION: for resume, optional {"user":...,"password":...},
// the credentials for the resumed transfer; for limit (and /v1/limit), {"maxRate": N}.
bool decodeControl(const std::string& action, const std::string& body, DownloadRequest& out, std::string& error);

// The value of name in a query ("a=1&b=2"), percent-decoded; empty when absent.
std::string queryValue(const std::string& query, const std::string& name);
