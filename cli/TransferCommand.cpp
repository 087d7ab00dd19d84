#include "TransferCommand.h"

#include "CommandLine.h"
#include "HostSession.h"
#include "PasswordPrompt.h"
#include "ProgressView.h"
#include "RequestStore.h"
#include "StartRequestPayload.h"
#include "TransferRunner.h"
#include "UUId.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>
#include <cstdio>
#include <exception>
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

} // namespace

TransferCommand::TransferCommand(const CommandLine& line, HostSession& host, BusClient& client, ProgressView& view,
                                 InterruptWatcher& watcher)
    : line(line), host(host), client(client), view(view), watcher(watcher)
{
}

std::string TransferCommand::resumeCommand() const
{
    std::string command = "haul";
    if (!line.dataDir.empty())
        command += " --data-dir " + shellQuoted(host.dataPath());
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
    std::string destination;
    if (!line.destination.empty()) {
        // Absolute, because the persisted request may be resumed from another folder.
        destination = QDir(QString::fromStdString(line.destination)).absolutePath().toStdString();
        if (!QDir().mkpath(QString::fromStdString(destination))) {
            std::fprintf(stderr, "haul: cannot create the folder %s\n", destination.c_str());
            return 1;
        }
    }
    TransferRunner runner(client, view, host, watcher, host.maxDownloads(), resumeCommand());
    for (const std::string& url : line.arguments) {
        TransferRunner::Job job;
        job.type = "Start";
        job.id = line.id.empty() ? UUId::generate().getValue() : line.id;
        job.label = labelOf(url);
        job.payload.reset(
            new StartRequestPayload(url, line.user, password, destination, !line.user.empty(), line.sha1));
        runner.add(job);
    }
    return runner.run();
}

int TransferCommand::resume()
{
    std::vector<std::string> ids = line.arguments;
    std::map<std::string, RequestStore::Record> known;
    try {
        for (const RequestStore::Record& record : RequestStore::records())
            known[record.id] = record;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "haul: cannot read the persisted requests: %s\n", e.what());
        return 1;
    }
    if (line.all) {
        for (const auto& entry : known)
            ids.push_back(entry.first);
        if (ids.empty()) {
            view.note("nothing to resume");
            return 0;
        }
    }
    TransferRunner runner(client, view, host, watcher, host.maxDownloads(), resumeCommand());
    std::set<std::string> seen;
    for (const std::string& id : ids) {
        if (!seen.insert(id).second)
            continue;
        TransferRunner::Job job;
        job.type = "Resume";
        job.id = id;
        // Unknown identifiers still go to the component, which answers them (269).
        const auto found = known.find(id);
        job.label = found != known.end() ? labelOf(found->second.url) : id;
        job.offset = found != known.end() ? found->second.partialBytes : 0;
        runner.add(job);
    }
    return runner.run();
}
