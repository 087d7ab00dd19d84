#include "Download.h"

#include "HumanText.h"
#include "InputPolicy.h"
#include "SafeText.h"

#include <QJsonDocument>
#include <utility>

namespace {

const std::pair<DownloadState, const char*> stateNames[] = {
    {DownloadState::Queued, "queued"},     {DownloadState::Running, "running"}, {DownloadState::Pausing, "pausing"},
    {DownloadState::Aborting, "aborting"}, {DownloadState::Paused, "paused"},   {DownloadState::Failed, "failed"},
    {DownloadState::Finished, "finished"}, {DownloadState::Aborted, "aborted"},
};

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string text(const QJsonObject& object, const char* name)
{
    return object.value(name).toString().toStdString();
}

void addReport(QJsonObject& object, const Report& report)
{
    if (report.type.empty())
        return;
    object.insert("type", qs(report.type));
    object.insert("code", report.code);
    object.insert("text", qs(report.text));
    report.cause.addTo(object);
}

} // namespace

const char* nameOf(DownloadState state)
{
    for (const auto& item : stateNames) {
        if (item.first == state)
            return item.second;
    }
    return "";
}

bool stateNamed(const std::string& name, DownloadState* state)
{
    for (const auto& item : stateNames) {
        if (name == item.second) {
            *state = item.first;
            return true;
        }
    }
    return false;
}

bool isActive(DownloadState state)
{
    return state == DownloadState::Running || state == DownloadState::Pausing || state == DownloadState::Aborting;
}

bool isOver(DownloadState state)
{
    return state == DownloadState::Finished || state == DownloadState::Aborted;
}

std::string DownloadOptions::envelopeText() const
{
    QJsonObject object;
    if (ignoreSslErrors >= 0)
        object.insert("ignoreSslErrors", ignoreSslErrors == 1);
    if (requestTimeoutMs >= 0)
        object.insert("requestTimeoutMs", requestTimeoutMs);
    if (!proxy.empty())
        object.insert("proxy", qs(proxy));
    if (!userAgent.empty())
        object.insert("userAgent", qs(userAgent));
    if (!serverTime)
        object.insert("timestamp", false);
    if (!fileName.empty())
        object.insert("fileName", qs(fileName));
    if (maxRate > 0)
        object.insert("maxRate", static_cast<double>(maxRate));
    if (connections > 0)
        object.insert("connections", connections);
    QJsonArray all;
    for (const auto& header : headers)
        all.append(QJsonArray{qs(header.first), qs(header.second)});
    if (!all.isEmpty())
        object.insert("headers", all);
    return object.isEmpty() ? std::string() : QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

QJsonArray DownloadOptions::headersToKeep() const
{
    QJsonArray kept;
    for (const auto& header : headers)
        if (QString::fromStdString(header.first).compare("Authorization", Qt::CaseInsensitive) != 0)
            kept.append(qs(header.first + ": " + header.second));
    return kept;
}

QJsonObject Download::toRecord() const
{
    QJsonObject record{{"url", qs(url)},
                       {"dir", qs(dir)},
                       {"sha1", qs(sha1)},
                       {"state", nameOf(state)},
                       {"started", started},
                       {"interrupted", interrupted},
                       {"path", qs(path)},
                       {"bytes", static_cast<double>(bytes)},
                       {"size", static_cast<double>(size)},
                       {"added", static_cast<double>(added)},
                       {"updated", static_cast<double>(updated)},
                       {"tries", tries},
                       {"retries", options.retries},
                       {"ignoreSslErrors", options.ignoreSslErrors},
                       {"requestTimeoutMs", options.requestTimeoutMs},
                       // A proxy's password lives in memory only, as every credential.
                       {"proxy", qs(withoutUserInfo(options.proxy))}};
    if (!options.userAgent.empty())
        record.insert("userAgent", qs(options.userAgent));
    if (!options.serverTime)
        record.insert("timestamp", false);
    if (!options.fileName.empty())
        record.insert("fileName", qs(options.fileName));
    if (options.maxRate > 0)
        record.insert("maxRate", static_cast<double>(options.maxRate));
    if (options.connections > 0)
        record.insert("connections", options.connections);
    if (!options.headers.empty())
        record.insert("headers", options.headersToKeep());
    QJsonObject report;
    addReport(report, last);
    if (!report.isEmpty())
        record.insert("last", report);
    return record;
}

bool Download::fromRecord(const std::string& id, const QJsonObject& record, Download* download)
{
    Download read;
    if (id.empty() || !stateNamed(text(record, "state"), &read.state) || text(record, "url").empty())
        return false;
    read.id = id;
    read.url = text(record, "url");
    read.dir = text(record, "dir");
    read.sha1 = text(record, "sha1");
    read.started = record.value("started").toBool();
    read.interrupted = record.value("interrupted").toBool();
    read.path = text(record, "path");
    read.bytes = static_cast<std::uint64_t>(record.value("bytes").toDouble());
    read.size = static_cast<std::uint64_t>(record.value("size").toDouble());
    read.added = static_cast<std::int64_t>(record.value("added").toDouble());
    read.updated = static_cast<std::int64_t>(record.value("updated").toDouble());
    read.tries = record.value("tries").toInt();
    read.options.retries = record.value("retries").toInt(read.options.retries);
    read.options.ignoreSslErrors = record.value("ignoreSslErrors").toInt(-1);
    read.options.requestTimeoutMs = record.value("requestTimeoutMs").toInt(-1);
    read.options.proxy = text(record, "proxy");
    read.options.userAgent = text(record, "userAgent");
    read.options.serverTime = record.value("timestamp").toBool(true);
    read.options.fileName = text(record, "fileName");
    read.options.maxRate = static_cast<std::int64_t>(record.value("maxRate").toDouble());
    read.options.connections = std::max(0, std::min(16, record.value("connections").toInt()));
    for (const QJsonValue& value : record.value("headers").toArray()) {
        std::string name, header;
        if (inputPolicy::headerProblem(value.toString().toStdString(), &name, &header).empty())
            read.options.headers.emplace_back(name, header);
    }
    const QJsonObject last = record.value("last").toObject();
    read.last.type = text(last, "type");
    read.last.code = last.value("code").toInt();
    read.last.text = text(last, "text");
    read.last.cause = Cause::from(last);
    *download = std::move(read);
    return true;
}

QJsonObject Download::toJson() const
{
    QJsonObject object{{"id", qs(id)},
                       {"url", qs(url)},
                       {"dir", qs(dir)},
                       {"state", nameOf(state)},
                       {"bytes", static_cast<double>(bytes)},
                       {"size", static_cast<double>(size)},
                       {"rate", static_cast<double>(rate)},
                       {"added", static_cast<double>(added)},
                       {"updated", static_cast<double>(updated)},
                       {"tries", tries}};
    if (!sha1.empty())
        object.insert("sha1", qs(sha1));
    if (options.maxRate > 0)
        object.insert("maxRate", static_cast<double>(options.maxRate));
    if (options.connections > 0)
        object.insert("connections", options.connections);
    if (!pieces.empty() && !isOver(state))
        object.insert("pieces", qs(pieces));
    if (!path.empty())
        object.insert("path", qs(path));
    if (interrupted)
        object.insert("interrupted", true);
    QJsonObject report;
    addReport(report, last);
    for (auto it = report.begin(); it != report.end(); ++it)
        object.insert(it.key() == "type" ? "outcome" : it.key(), it.value());
    // What a person reads of a failure, as the command prints it.
    if (state != DownloadState::Finished && last.code != 0)
        object.insert("words", qs(human::text(human::Report{last.type, last.code, last.text, id, last.cause})));
    return object;
}
