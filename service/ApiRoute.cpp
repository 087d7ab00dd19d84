#include "ApiRoute.h"

#include "InputPolicy.h"
#include "JsonInput.h"
#include "SafeText.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <map>

namespace {

std::string decoded(const std::string& text)
{
    QByteArray bytes = QByteArray::fromStdString(text);
    bytes.replace('+', ' ');
    return QByteArray::fromPercentEncoding(bytes).toStdString();
}

ApiRoute refused(ApiRoute route, int status, const std::string& error)
{
    route.kind = ApiRoute::Kind::Refused;
    route.status = status;
    route.error = error;
    return route;
}

// A string member, or an error when present with another type.
bool stringMember(const QJsonObject& object, const char* name, std::string& out, std::string& error)
{
    const QJsonValue value = object.value(name);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString()) {
        error = std::string("\"") + name + "\" must be a string";
        return false;
    }
    out = value.toString().toStdString();
    return true;
}

bool flagMember(const QJsonObject& object, const char* name, bool& out, std::string& error)
{
    const QJsonValue value = object.value(name);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isBool()) {
        error = std::string("\"") + name + "\" must be true or false";
        return false;
    }
    out = value.toBool();
    return true;
}

bool numberMember(const QJsonObject& object, const char* name, int& out, std::string& error)
{
    const QJsonValue value = object.value(name);
    if (value.isUndefined() || value.isNull())
        return true;
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 2147483647 || number != static_cast<int>(number)) {
        error = std::string("\"") + name + "\" must be a whole number from 0";
        return false;
    }
    out = static_cast<int>(number);
    return true;
}

// "maxRate": bytes a second, 0 for none; *given says whether it was there.
bool rateMember(const QJsonObject& object, std::int64_t& out, std::string& error, bool* given = nullptr)
{
    const QJsonValue rate = object.value("maxRate");
    if (given)
        *given = !rate.isUndefined() && !rate.isNull();
    if (rate.isUndefined() || rate.isNull())
        return true;
    const double bytes = rate.toDouble(-1);
    if (!rate.isDouble() || bytes < 0 || bytes > 1e12 || std::trunc(bytes) != bytes) {
        error = "\"maxRate\" must be bytes a second, a whole number from 0";
        return false;
    }
    out = static_cast<std::int64_t>(bytes);
    return true;
}

// "headers": ["Name: value", ...], as the command line takes them.
bool headersMember(const QJsonObject& object, std::vector<std::pair<std::string, std::string>>& out, std::string& error)
{
    const QJsonValue value = object.value("headers");
    if (value.isUndefined() || value.isNull())
        return true;
    const QJsonArray all = value.toArray();
    if (!value.isArray() || std::size_t(all.size()) > inputPolicy::maxHeaders) {
        error = "\"headers\" must be a list of at most " + std::to_string(inputPolicy::maxHeaders) +
                " texts \"Name: value\"";
        return false;
    }
    for (const QJsonValue& header : all) {
        std::string name, text;
        if (!header.isString()) {
            error = "\"headers\" must hold texts \"Name: value\"";
            return false;
        }
        if (!(error = inputPolicy::headerProblem(header.toString().toStdString(), &name, &text)).empty())
            return false;
        out.emplace_back(name, text);
    }
    return true;
}

// What a request may set for its download alone.
bool options(const QJsonObject& object, DownloadRequest& request, std::string& error)
{
    bool ignore = false;
    const bool hasIgnore = object.contains("ignoreSslErrors") && !object.value("ignoreSslErrors").isNull();
    if (!flagMember(object, "replace", request.replace, error) ||
        !numberMember(object, "retries", request.options.retries, error) ||
        !numberMember(object, "requestTimeoutMs", request.options.requestTimeoutMs, error) ||
        !flagMember(object, "ignoreSslErrors", ignore, error) ||
        !stringMember(object, "proxy", request.options.proxy, error))
        return false;
    if (hasIgnore)
        request.options.ignoreSslErrors = ignore ? 1 : 0;
    if (!stringMember(object, "userAgent", request.options.userAgent, error) ||
        !flagMember(object, "timestamp", request.options.serverTime, error) ||
        !stringMember(object, "fileName", request.options.fileName, error))
        return false;
    if (!request.options.fileName.empty() && !(error = inputPolicy::fileNameProblem(request.options.fileName)).empty())
        return false;
    if (!rateMember(object, request.options.maxRate, error) ||
        !numberMember(object, "connections", request.options.connections, error))
        return false;
    if (request.options.connections > 16) {
        error = "\"connections\" must be from 1 to 16";
        return false;
    }
    if (!request.options.userAgent.empty() &&
        !(error = inputPolicy::userAgentProblem(request.options.userAgent)).empty())
        return false;
    return headersMember(object, request.options.headers, error);
}

} // namespace

bool decodeControl(const std::string& action, const std::string& body, DownloadRequest& out, std::string& error)
{
    const bool limit = action == "limit";
    if (body.empty() && !limit)
        return true;
    const QJsonObject object = jsonObjectFrom(body.data(), body.size(), &error);
    bool rateGiven = false;
    if (!error.empty() || !stringMember(object, "user", out.user, error) ||
        !stringMember(object, "password", out.password, error) ||
        !rateMember(object, out.options.maxRate, error, &rateGiven))
        return false;
    if (limit && !rateGiven)
        error = "a limit needs {\"maxRate\": bytes a second} (0: none)";
    return error.empty();
}

std::string queryValue(const std::string& query, const std::string& name)
{
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        // Looked for within this pair alone, so that no byte is read twice.
        const std::size_t equals =
            std::size_t(std::find(query.begin() + start, query.begin() + end, '=') - query.begin());
        if (equals < end && equals - start == name.size() && query.compare(start, name.size(), name) == 0)
            return decoded(query.substr(equals + 1, end - equals - 1));
        start = end + 1;
    }
    return std::string();
}

ApiRoute routeOf(const std::string& method, const std::string& target)
{
    static const std::map<std::string, std::string> pages = {
        {"/", "index.html"}, {"/index.html", "index.html"}, {"/app.css", "app.css"}, {"/app.js", "app.js"}};
    ApiRoute route;
    const std::size_t question = target.find('?');
    const std::string rawPath = target.substr(0, question);
    const std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);
    route.path = clientText(rawPath, 200);
    const bool get = method == "GET", post = method == "POST";

    const auto page = pages.find(rawPath);
    if (page != pages.end()) {
        if (!get)
            return refused(route, 405, "use GET on " + route.path);
        route.kind = ApiRoute::Kind::Page;
        route.page = page->second;
        return route;
    }
    if (rawPath == "/v1/downloads") {
        if (!get && !post)
            return refused(route, 405, "use GET or POST on /v1/downloads");
        route.kind = get ? ApiRoute::Kind::List : ApiRoute::Kind::Start;
        return route;
    }
    if (rawPath == "/v1/events") {
        if (!get)
            return refused(route, 405, "use GET on /v1/events");
        route.kind = ApiRoute::Kind::Events;
        route.id = queryValue(query, "id");
        route.token = queryValue(query, "token");
        return route;
    }
    if (rawPath == "/v1/settings") {
        if (!get)
            return refused(route, 405, "use GET on /v1/settings");
        route.kind = ApiRoute::Kind::Settings;
        return route;
    }
    if (rawPath == "/v1/limit") {
        if (!post)
            return refused(route, 405, "use POST on /v1/limit");
        route.kind = ApiRoute::Kind::Limit;
        return route;
    }
    if (rawPath == "/v1/session" || rawPath == "/v1/page-link") {
        if (!post)
            return refused(route, 405, "use POST on " + rawPath);
        route.kind = rawPath == "/v1/session" ? ApiRoute::Kind::Session : ApiRoute::Kind::PageLink;
        return route;
    }
    const std::string prefix = "/v1/downloads/";
    if (rawPath.compare(0, prefix.size(), prefix) == 0) {
        const std::string rest = rawPath.substr(prefix.size());
        const std::size_t slash = rest.rfind('/');
        const std::string action = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
        if (slash == std::string::npos || slash == 0 ||
            (action != "pause" && action != "resume" && action != "abort" && action != "forget" && action != "limit"))
            return refused(route, 404, "no such endpoint: " + route.path);
        if (!post)
            return refused(route, 405, "use POST on " + route.path);
        route.kind = ApiRoute::Kind::Control;
        route.action = action;
        route.id = QByteArray::fromPercentEncoding(QByteArray::fromStdString(rest.substr(0, slash))).toStdString();
        return route;
    }
    return refused(route, 404, "no such endpoint: " + route.path);
}

bool decodeDownloads(const std::string& body, std::vector<DownloadRequest>& out, std::string& error)
{
    const QJsonObject object = jsonObjectFrom(body.data(), body.size(), &error);
    if (!error.empty())
        return false;
    if (!object.value("downloads").isArray()) {
        error = "the body must be {\"downloads\":[...]}";
        return false;
    }
    const QJsonArray list = object.value("downloads").toArray();
    if (static_cast<std::size_t>(list.size()) > inputPolicy::maxBatch) {
        error = "at most " + std::to_string(inputPolicy::maxBatch) + " downloads in one request, got " +
                std::to_string(list.size());
        return false;
    }
    out.clear();
    int index = 0;
    for (const QJsonValue& value : list) {
        ++index;
        DownloadRequest request;
        const QJsonObject object = value.toObject();
        std::string problem;
        if (!value.isObject() || !stringMember(object, "url", request.url, problem) ||
            !stringMember(object, "dir", request.dir, problem) ||
            !stringMember(object, "sha1", request.sha1, problem) ||
            !stringMember(object, "user", request.user, problem) ||
            !stringMember(object, "password", request.password, problem) ||
            !stringMember(object, "id", request.id, problem) || !options(object, request, problem)) {
            error = "download " + std::to_string(index) + ": " + (problem.empty() ? "must be an object" : problem);
            return false;
        }
        out.push_back(std::move(request));
    }
    return true;
}
