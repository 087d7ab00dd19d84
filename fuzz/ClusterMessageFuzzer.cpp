// A start request taken from the cluster's queue, checked as ClusterHost's take() does before
// its id names a bucket key, a subject and a partial file: anyone may publish one. A message
// passes only with a documented id and an http, https or ftp URL within 8 KiB decoded, and the
// log line of a dropped one stays one short line.
#include "FuzzSupport.h"
#include "InputPolicy.h"
#include "JsonInput.h"

#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <string>

namespace {

using fuzz::fail;

bool isIdChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string("-_.~+:@").find(c) != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string message(reinterpret_cast<const char*>(data), size);
    const QJsonObject request = jsonObjectFrom(message.data(), message.size());
    const std::string id = request.value("id").toString().toStdString();
    const std::string url = request.value("url").toString().toStdString();
    std::string problem = id.empty() || url.empty() ? "no id or url" : inputPolicy::idProblem(id);
    if (problem.empty())
        problem = inputPolicy::urlProblem(url);
    fuzz::expectReplyText("the log line of a dropped request", "dropped a request from the queue: " + problem, message);
    if (!problem.empty())
        return 0;

    if (!request.value("id").isString() || !request.value("url").isString())
        fail("took a request whose id or url is no string", message);
    if (id.size() > inputPolicy::maxIdLength || id.front() == '.' || id == "..")
        fail("took an id that is too long or starts with \".\"", message, id);
    for (const char c : id)
        if (!isIdChar(c))
            fail("took an id outside letters, digits and - _ . ~ + : @", message, id);
    const std::size_t separator = url.find("://");
    const std::string scheme =
        separator == std::string::npos ? std::string() : fuzz::lowerAscii(url.substr(0, separator));
    if (scheme != "http" && scheme != "https" && scheme != "ftp")
        fail("took a URL of another scheme", message, url);
    if (!fuzz::isOneLine(url) || url.find(' ') != std::string::npos)
        fail("took a URL with blanks or control characters", message, url);
    if (fuzz::percentDecodedSize(url) > inputPolicy::maxUrlBytes)
        fail("took a URL over 8 KiB decoded", message, url);
    return 0;
}
