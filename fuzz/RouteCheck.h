#pragma once

// What any route of the owner's interface must satisfy, whichever way the request arrived.
#include "ApiRoute.h"
#include "FuzzSupport.h"

#include <string>

namespace fuzz {

inline void checkRoute(const std::string& method, const std::string& target, const ApiRoute& route)
{
    const std::string input = method + " " + target;
    // The request log writes it: one line, and a long target must not make a long log line.
    if (!isOneLine(route.path) || route.path.size() > 200 + 3)
        fail("route path is not one short line", input, route.path);
    expectReplyText("route error is not one short line", route.error, input);

    const std::size_t question = target.find('?');
    const std::string rawPath = target.substr(0, question);
    const std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);
    const bool get = method == "GET", post = method == "POST";
    switch (route.kind) {
    case ApiRoute::Kind::Page:
        if (!get || !(rawPath == "/" || rawPath == "/index.html" || rawPath == "/app.css" || rawPath == "/app.js") ||
            !(route.page == "index.html" || route.page == "app.css" || route.page == "app.js"))
            fail("page route for another method, path or file", input, route.page);
        break;
    case ApiRoute::Kind::List:
    case ApiRoute::Kind::Start:
        if (rawPath != "/v1/downloads" || (route.kind == ApiRoute::Kind::List ? !get : !post))
            fail("list or start route for another method or path", input);
        break;
    case ApiRoute::Kind::Events:
        if (!get || rawPath != "/v1/events" || route.id != queryValue(query, "id") ||
            route.token != queryValue(query, "token"))
            fail("events route for another method or path, or not the query's id and token", input, route.id);
        break;
    case ApiRoute::Kind::Settings:
        if (!get || rawPath != "/v1/settings")
            fail("settings route for another method or path", input);
        break;
    case ApiRoute::Kind::Session:
    case ApiRoute::Kind::PageLink:
        if (!post || rawPath != (route.kind == ApiRoute::Kind::Session ? "/v1/session" : "/v1/page-link"))
            fail("session or page-link route for another method or path", input);
        break;
    case ApiRoute::Kind::Control: {
        const std::string prefix = "/v1/downloads/", suffix = "/" + route.action;
        if (route.action != "pause" && route.action != "resume" && route.action != "abort" && route.action != "forget")
            fail("control route with an unknown action", input, route.action);
        // The id segment is not empty: each escape decodes to one byte.
        if (!post || rawPath.size() <= prefix.size() + suffix.size() ||
            rawPath.compare(0, prefix.size(), prefix) != 0 ||
            rawPath.compare(rawPath.size() - suffix.size(), suffix.size(), suffix) != 0 || route.id.empty())
            fail("control route for another method or path, or without an id", input, route.id);
        break;
    }
    case ApiRoute::Kind::Refused:
        if ((route.status != 404 && route.status != 405) || route.error.empty())
            fail("refusal without 404 or 405 and a reason", input, route.error);
        break;
    }
    if (route.kind != ApiRoute::Kind::Refused && !route.error.empty())
        fail("an accepted route carries an error", input, route.error);

    // Whether a path exists does not depend on the method; a wrong method on an existing path
    // is refused as such.
    if (route.kind == ApiRoute::Kind::Refused && (method == "GET" || method == "POST" || route.status == 404)) {
        const ApiRoute other = routeOf(get ? "POST" : "GET", target);
        const bool otherFound = other.kind != ApiRoute::Kind::Refused || other.status == 405;
        if ((route.status == 404) == otherFound)
            fail("404 depends on the method", input, other.error);
    }
    if (route.kind == ApiRoute::Kind::Refused && route.status == 405 && !get && !post) {
        if (routeOf("GET", target).kind == ApiRoute::Kind::Refused &&
            routeOf("POST", target).kind == ApiRoute::Kind::Refused)
            fail("405 for a path that no method may use", input, route.error);
    }
}

} // namespace fuzz
