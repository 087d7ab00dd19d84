#include "TransferCommand.h"

#include "CommandLine.h"
#include "ConfigNumber.h"
#include "Configuration.h"
#include "DownloadBackend.h"
#include "HostSession.h"
#include "HumanText.h"
#include "InputPolicy.h"
#include "NetworkProxyHelper.h"
#include "PasswordPrompt.h"
#include "ProgressView.h"
#include "SafeText.h"
#include "TransferRunner.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace {

std::string labelOf(const std::string& url)
{
    const QUrl parsed(QString::fromStdString(url));
    const QString name = parsed.fileName();
    return (name.isEmpty() ? parsed.host() : name).toStdString();
}

std::string shellQuoted(const std::string& text)
{
    if (text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+=:,@") ==
        std::string::npos)
        return text;
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A refusal, in the one shape of every refusal: its result line, or with --json the refusal object.
void refused(ProgressView& view, bool json, const std::string& label, const ClientEvent& event)
{
    if (json) {
        std::printf("%s\n", event.toJson().constData());
        std::fflush(stdout);
        return;
    }
    view.result("failed: " + label + ": " + human::withCode(human::Report::fromEvent(event)) + " [refused" +
                (event.session.empty() ? std::string() : ", id " + event.session) +
                (event.host.empty() ? std::string() : " on " + event.host) + "]");
}

// What this command's configuration says of one transfer goes with the request: the owner
// may run with other settings, and these belong to the download alone.
void addTransferOptions(QJsonObject& download, const std::string& url)
{
    Configuration& configuration = Configuration::instance();
    std::string value;
    if (configuration.getValue("General/security/IgnoreSslErrors", value, 0) == 0)
        download.insert("ignoreSslErrors", value == "yes");
    if (configuration.getValue("Downloader/RequestTimeout", value, 0) == 0)
        download.insert("requestTimeoutMs", static_cast<qint64>(configNumber<qint32>(value, 60000)));
    const bool proxyVariables = std::getenv("http_proxy") || std::getenv("https_proxy") || std::getenv("ftp_proxy") ||
                                std::getenv("all_proxy") || std::getenv("no_proxy");
    if (configuration.getValue("Proxy/Host", value, 0) != 0 && !proxyVariables)
        return;
    const NetworkProxy proxy = NetworkProxyHelper::getProxy(url);
    const std::string user = proxy.userName.empty() ? std::string() : proxy.userName + ":" + proxy.password + "@";
    if (proxy.type == 2)
        download.insert("proxy", "none");
    else if (proxy.type == 1 || proxy.type == 3)
        download.insert("proxy", QString::fromStdString((proxy.type == 1 ? "socks5://" : "http://") + user +
                                                        proxy.host + ":" + std::to_string(proxy.port)));
}

} // namespace

TransferCommand::TransferCommand(const CommandLine& line, DownloadBackend& backend, ProgressView& view,
                                 InterruptWatcher& watcher)
    : line(line), backend(backend), view(view), watcher(watcher)
{
}

std::string TransferCommand::command() const
{
    if (!line.cluster.empty())
        return "haul --cluster " + shellQuoted(withoutUserInfo(line.cluster));
    std::string command = "haul";
    if (!line.dataDir.empty())
        command += " --data-dir " + shellQuoted(HostSession::resolveDataPath(line.hostOptions()));
    if (!line.configFile.empty())
        command += " --config " +
                   shellQuoted(QFileInfo(QString::fromStdString(line.configFile)).absoluteFilePath().toStdString());
    return command;
}

int TransferCommand::get()
{
    std::string password;
    if (!line.user.empty() && !readPassword(line.user, password)) {
        std::fprintf(stderr, "haul: no password for %s (set HAUL_PASSWORD or use a terminal)\n", line.user.c_str());
        return 1;
    }
    QJsonArray downloads;
    for (const std::string& url : line.arguments) {
        QJsonObject download{{"url", QString::fromStdString(url)}, {"retries", line.retries}};
        addTransferOptions(download, url);
        // Absolute: the owner runs elsewhere, and the request may be resumed from another folder.
        // Where the command runs, as curl -O and wget save; a cluster's hosts keep their own.
        const QString folder = line.destination.empty() ? QDir::currentPath()
                                                        : QDir(QString::fromStdString(line.destination)).absolutePath();
        if (!line.destination.empty() || line.cluster.empty())
            download.insert("dir", folder);
        if (!line.output.empty()) {
            const QFileInfo named(QDir(folder).absoluteFilePath(QString::fromStdString(line.output)));
            download.insert("dir", named.absolutePath());
            download.insert("fileName", named.fileName());
        }
        if (!line.sha1.empty())
            download.insert("sha1", QString::fromStdString(line.sha1));
        if (!line.user.empty()) {
            download.insert("user", QString::fromStdString(line.user));
            download.insert("password", QString::fromStdString(password));
        }
        if (!line.id.empty())
            download.insert("id", QString::fromStdString(line.id));
        if (!line.batch.empty())
            download.insert("batch", QString::fromStdString(line.batch));
        if (!line.userAgent.empty())
            download.insert("userAgent", QString::fromStdString(line.userAgent));
        if (line.noTimestamp)
            download.insert("timestamp", false);
        if (line.limitRate > 0)
            download.insert("maxRate", static_cast<double>(line.limitRate));
        if (line.connections > 0)
            download.insert("connections", line.connections);
        QJsonArray headers;
        for (const std::string& header : line.headers)
            headers.append(QString::fromStdString(header));
        if (!headers.isEmpty())
            download.insert("headers", headers);
        if (line.replace)
            download.insert("replace", true);
        downloads.append(download);
    }
    std::string error;
    if (!line.detach && !backend.listen(&error)) {
        view.failure(error);
        return 1;
    }
    // The owner takes so many in one request; a longer list goes in several.
    std::vector<std::string> ids;
    bool refusedAny = false;
    for (int first = 0; first < downloads.size() && !refusedAny; first += int(inputPolicy::maxBatch)) {
        QJsonArray part;
        for (int i = first; i < downloads.size() && i < first + int(inputPolicy::maxBatch); ++i)
            part.append(downloads[i]);
        ClientEvent refusal;
        if (!backend.start(part, &ids, &refusal)) {
            const std::string label = part.size() == 1 ? labelOf(line.arguments[std::size_t(first)]) : "downloads";
            refused(view, line.json, label, refusal);
            refusedAny = true;
        }
    }
    if (ids.empty())
        return 1;
    if (line.detach) {
        if (line.json) {
            QJsonArray list;
            for (const std::string& id : ids)
                list.append(QString::fromStdString(id));
            std::printf("%s\n", QJsonDocument(QJsonObject{{"ids", list}}).toJson(QJsonDocument::Compact).constData());
        }
        for (std::size_t i = 0; i < ids.size(); ++i)
            view.result("started: " + labelOf(line.arguments[i]) + " [id " + ids[i] + "]");
        return refusedAny ? 1 : 0;
    }
    TransferRunner runner(backend, view, watcher, line.json, command());
    for (std::size_t i = 0; i < ids.size(); ++i)
        runner.follow({ids[i], labelOf(line.arguments[i])});
    const int status = runner.run();
    return refusedAny && status == 0 ? 1 : status;
}

int TransferCommand::resume()
{
    QJsonArray listed;
    std::string error;
    if (!backend.list(&listed, &error)) {
        view.failure(error);
        return 1;
    }
    std::map<std::string, QJsonObject> known;
    std::vector<std::string> ids = line.arguments;
    for (const QJsonValue& value : listed) {
        const QJsonObject download = value.toObject();
        const std::string id = download.value("id").toString().toStdString();
        known[id] = download;
        // Failed ones only when asked for: a typo's 404 is not fetched again by --all.
        const QString state = download.value("state").toString();
        if ((line.all || line.failed) && (state == "failed" ? line.failed : line.all && state == "paused"))
            ids.push_back(id);
    }
    if ((line.all || line.failed) && ids.empty()) {
        view.note("nothing to resume");
        return 0;
    }
    QJsonObject credentials;
    if (!line.user.empty()) {
        std::string password;
        if (!readPassword(line.user, password)) {
            std::fprintf(stderr, "haul: no password for %s (set HAUL_PASSWORD or use a terminal)\n", line.user.c_str());
            return 1;
        }
        credentials =
            QJsonObject{{"user", QString::fromStdString(line.user)}, {"password", QString::fromStdString(password)}};
    }
    if (!backend.listen(&error)) {
        view.failure(error);
        return 1;
    }
    TransferRunner runner(backend, view, watcher, line.json, command());
    std::set<std::string> seen;
    int failures = 0;
    for (const std::string& id : ids) {
        if (!seen.insert(id).second)
            continue;
        const auto found = known.find(id);
        const std::string label =
            found != known.end() ? labelOf(found->second.value("url").toString().toStdString()) : id;
        ClientEvent refusal;
        if (backend.control("resume", id, credentials, &refusal)) {
            runner.follow({id, label});
        } else {
            refused(view, line.json, label, refusal);
            ++failures;
        }
    }
    const int status = runner.run();
    return failures > 0 && status == 0 ? 1 : status;
}
