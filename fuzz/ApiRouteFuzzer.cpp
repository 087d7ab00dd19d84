// The owner's interface read from a method, a target and a body. Routes as RouteCheck.h
// states; a query value comes back as it was encoded; decodeDownloads takes exactly the
// documented body (an object whose "downloads" holds at most 1000 objects of string members)
// and gives back each member as sent.
#include "ApiRoute.h"
#include "FuzzSupport.h"
#include "InputPolicy.h"
#include "RouteCheck.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

namespace {

using fuzz::fail;

const char* const memberNames[6] = {"id", "url", "dir", "sha1", "user", "password"};

std::string& member(DownloadRequest& request, int index)
{
    std::string* const members[6] = {&request.id,   &request.url,  &request.dir,
                                     &request.sha1, &request.user, &request.password};
    return *members[index];
}

// Bytes as they come back from a JSON string: invalid UTF-8 replaced.
std::string throughJson(const std::string& bytes)
{
    return QString::fromStdString(bytes).toStdString();
}

// decodeDownloads as its documentation reads, on Qt's parse of the body.
bool expectedDownloads(const std::string& body, std::vector<DownloadRequest>& out)
{
    QJsonParseError parseError{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(body.data(), static_cast<int>(body.size())), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject() ||
        fuzz::jsonDepth(document.object()) > inputPolicy::maxJsonDepth)
        return false;
    const QJsonValue list = document.object().value("downloads");
    if (!list.isArray() || static_cast<std::size_t>(list.toArray().size()) > inputPolicy::maxBatch)
        return false;
    for (const QJsonValue& item : list.toArray()) {
        if (!item.isObject())
            return false;
        DownloadRequest request;
        for (int i = 0; i < 6; ++i) {
            const QJsonValue value = item.toObject().value(memberNames[i]);
            if (value.isString())
                member(request, i) = value.toString().toStdString();
            else if (!value.isUndefined() && !value.isNull())
                return false;
        }
        out.push_back(request);
    }
    return true;
}

void checkDecode(const std::string& body)
{
    std::vector<DownloadRequest> got, expected;
    std::string error;
    const bool ok = decodeDownloads(body, got, error);
    fuzz::expectReplyText("decodeDownloads: reason", error, body);
    if (ok != error.empty())
        fail("decodeDownloads: a reason with success or none with failure", body, error);
    if (ok && got.size() > inputPolicy::maxBatch)
        fail("decodeDownloads returned more than 1000 requests", body, std::to_string(got.size()));
    if (ok != expectedDownloads(body, expected))
        fail(ok ? "decodeDownloads accepted an undocumented body" : "decodeDownloads refused a documented body", body,
             error);
    if (!ok)
        return;
    if (got.size() != expected.size())
        fail("decodeDownloads lost or added requests", body, std::to_string(got.size()));
    for (std::size_t n = 0; n < got.size(); ++n)
        for (int i = 0; i < 6; ++i)
            if (member(got[n], i) != member(expected[n], i))
                fail("decodeDownloads changed a member", body, member(got[n], i));
}

// A batch of count requests, the last with the given members, the others empty objects.
void checkBatch(std::size_t count, DownloadRequest request)
{
    QJsonObject object;
    for (int i = 0; i < 6; ++i)
        object.insert(memberNames[i], QString::fromStdString(member(request, i)));
    const std::string last = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    std::string body = "{\"downloads\":[";
    for (std::size_t n = 1; n < count; ++n)
        body += "{},";
    body += (count ? last : std::string()) + "]}";
    std::vector<DownloadRequest> got;
    std::string error;
    const bool ok = decodeDownloads(body, got, error);
    if (ok != (count <= inputPolicy::maxBatch) || (ok && got.size() != count))
        fail("decodeDownloads: a batch not taken exactly when at most 1000", last,
             std::to_string(count) + " sent, " + std::to_string(got.size()) + " taken: " + error);
    if (ok && count > 0)
        for (int i = 0; i < 6; ++i)
            if (member(got.back(), i) != throughJson(member(request, i)))
                fail("decodeDownloads: a member did not come back as sent", last, member(got.back(), i));
}

// Pairs encoded as a client would; the first of each name is the one found.
void checkQuery(FuzzedDataProvider& provider)
{
    static const char* const names[] = {"id", "token", "i", "idd", "token2", "x"};
    std::string query;
    std::vector<std::pair<std::string, std::string>> pairs;
    const int count = provider.ConsumeIntegralInRange(0, 4);
    for (int n = 0; n < count; ++n) {
        const std::string name = provider.PickValueInArray(names);
        const std::string value = provider.ConsumeRandomLengthString(64);
        pairs.emplace_back(name, value);
        query += (n ? "&" : "") + name + "=" + QByteArray::fromStdString(value).toPercentEncoding().toStdString();
    }
    for (const char* name : names) {
        std::string expected;
        for (const auto& pair : pairs) {
            if (pair.first == name) {
                expected = pair.second;
                break;
            }
        }
        if (queryValue(query, name) != expected)
            fail("queryValue did not give back the first encoded value", query, queryValue(query, name));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const char* const methods[] = {"GET", "POST", "PUT", "DELETE", "HEAD", "get"};
    FuzzedDataProvider provider(data, size);
    const std::string method =
        provider.ConsumeBool() ? provider.PickValueInArray(methods) : provider.ConsumeRandomLengthString(8);
    const std::string target = provider.ConsumeRandomLengthString(size);
    fuzz::checkRoute(method, target, routeOf(method, target));

    checkQuery(provider);

    // Near the limit of 1000 as often as far from it.
    const std::size_t count = provider.ConsumeBool() ? provider.ConsumeIntegralInRange<std::size_t>(998, 1002)
                                                     : provider.ConsumeIntegralInRange<std::size_t>(0, 3);
    DownloadRequest request;
    for (int i = 0; i < 6; ++i)
        member(request, i) = provider.ConsumeRandomLengthString(64);
    checkBatch(count, request);

    checkDecode(provider.ConsumeRemainingBytesAsString());
    return 0;
}
