#include "TransferCommand.h"

#include "CommandLine.h"
#include "HumanText.h"
#include "InputPolicy.h"
#include "OwnerConnection.h"
#include "PasswordPrompt.h"
#include "ProgressView.h"
#include "TransferRunner.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>
#include <cstdio>
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

std::string idPath(const std::string& id, const char* action)
{
    return "/v1/downloads/" + QUrl::toPercentEncoding(QString::fromStdString(id)).toStdString() + "/" + action;
}

std::string refusal(const std::string& label, const std::string& id, const ServiceClient::Answer& answer)
{
    human::Report report = human::Report::fromJson(answer.body, id);
    report.text = answer.error;
    return "failed: " + label + ": " + human::withCode(report) + " [refused, id " + id + "]";
}

} // namespace

TransferCommand::TransferCommand(const CommandLine& line, OwnerConnection& owner, ProgressView& view,
                                 InterruptWatcher& watcher)
    : line(line), owner(owner), view(view), watcher(watcher)
{
}

std::string TransferCommand::resumeCommand() const
{
    std::string command = "haul";
    if (!line.dataDir.empty())
        command += " --data-dir " + shellQuoted(owner.dataPath());
    if (!line.configFile.empty())
        command += " --config " +
                   shellQuoted(QFileInfo(QString::fromStdString(line.configFile)).absoluteFilePath().toStdString());
    return command + " resume";
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
        QJsonObject download;
        download.insert("url", QString::fromStdString(url));
        // Absolute: the owner runs elsewhere, and the request may be resumed from another folder.
        if (!line.destination.empty())
            download.insert("dir", QDir(QString::fromStdString(line.destination)).absolutePath());
        if (!line.sha1.empty())
            download.insert("sha1", QString::fromStdString(line.sha1));
        if (!line.user.empty()) {
            download.insert("user", QString::fromStdString(line.user));
            download.insert("password", QString::fromStdString(password));
        }
        if (!line.id.empty())
            download.insert("id", QString::fromStdString(line.id));
        downloads.append(download);
    }
    std::string error;
    if (!line.detach && !owner.listen(&error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    // The owner takes so many in one request; a longer list goes in several.
    QJsonArray ids;
    bool refused = false;
    for (int first = 0; first < downloads.size() && !refused; first += int(inputPolicy::maxBatch)) {
        QJsonArray part;
        for (int i = first; i < downloads.size() && i < first + int(inputPolicy::maxBatch); ++i)
            part.append(downloads[i]);
        const ServiceClient::Answer answer = owner.post("/v1/downloads", QJsonObject{{"downloads", part}});
        if (answer.status != 201) {
            human::Report report = human::Report::fromJson(answer.body, line.id);
            report.text = answer.error;
            std::fprintf(stdout, "failed: %s\n", human::withCode(report).c_str());
            refused = true;
        }
        for (const QJsonValue id : answer.body.value("ids").toArray())
            ids.append(id);
    }
    if (ids.isEmpty())
        return 1;
    if (line.detach) {
        if (line.json)
            std::printf("%s\n", QJsonDocument(QJsonObject{{"ids", ids}}).toJson(QJsonDocument::Compact).constData());
        for (int i = 0; i < ids.size(); ++i)
            view.result("started: " + labelOf(line.arguments[i]) + " [id " + ids[i].toString().toStdString() + "]");
        return refused ? 1 : 0;
    }
    TransferRunner runner(owner, view, watcher, line.json, resumeCommand());
    runner.setRetries(line.retries);
    for (int i = 0; i < ids.size(); ++i)
        runner.follow({ids[i].toString().toStdString(), labelOf(line.arguments[i]), 0});
    const int status = runner.run();
    return refused && status == 0 ? 1 : status;
}

int TransferCommand::resume()
{
    const ServiceClient::Answer listed = owner.get("/v1/downloads");
    if (listed.status != 200) {
        std::fprintf(stderr, "haul: %s\n", listed.error.c_str());
        return 1;
    }
    std::map<std::string, QJsonObject> known;
    for (const QJsonValue& value : listed.body.value("persisted").toArray())
        known[value.toObject().value("id").toString().toStdString()] = value.toObject();
    std::vector<std::string> ids = line.arguments;
    if (line.all || line.failed) {
        // Failed ones only when asked for: a typo's 404 is not fetched again by --all.
        for (const auto& entry : known) {
            const QString state = entry.second.value("state").toString();
            if (state == "failed" ? line.failed : line.all && (state == "paused" || state == "interrupted"))
                ids.push_back(entry.first);
        }
        if (ids.empty()) {
            view.note("nothing to resume");
            return 0;
        }
    }
    std::string error;
    if (!owner.listen(&error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    TransferRunner runner(owner, view, watcher, line.json, resumeCommand());
    runner.setRetries(line.retries);
    std::set<std::string> seen;
    for (const std::string& id : ids) {
        if (!seen.insert(id).second)
            continue;
        const auto found = known.find(id);
        TransferRunner::Job job;
        job.id = id;
        job.label = found != known.end() ? labelOf(found->second.value("url").toString().toStdString()) : id;
        job.offset =
            found != known.end() ? static_cast<std::uint64_t>(found->second.value("partialBytes").toDouble()) : 0;
        const ServiceClient::Answer answer = owner.post(idPath(id, "resume"));
        if (answer.status == 202)
            runner.follow(job);
        else
            runner.refused(refusal(job.label, id, answer));
    }
    return runner.run();
}
