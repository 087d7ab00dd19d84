// haul: the owner of a data directory (haul serve) and every command a client of it.
#include "ClusterCommand.h"
#include "CommandLine.h"
#include "ControlCommand.h"
#include "DemoCommand.h"
#include "InterruptWatcher.h"
#include "ListCommand.h"
#include "LogFollower.h"
#include "Owner.h"
#include "OwnerConnection.h"
#include "ProgressView.h"
#include "ServiceClient.h"
#include "TransferCommand.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <memory>
#include <unistd.h>

namespace {

int serve(const CommandLine& line)
{
    ServeOptions options;
    options.host = line.hostOptions();
    options.listen = line.listen;
    options.allowRemote = line.allowRemote;
    options.listenHosts = line.listenHosts;
    options.tokenFile = line.tokenFile;
    options.idleExit = line.idleExit;
    options.logLevel = line.logLevel;
    options.cluster = line.cluster;
    return Owner(options).run();
}

// The ids the owner that runs now knows, one a line; nothing when none runs, and none is started.
int printIds(const CommandLine& line)
{
    OwnerConnection owner(line.hostOptions());
    std::string error;
    if (!owner.configure(&error))
        return 1;
    const ServiceClient::Answer answer = ServiceClient(Owner::socketPath(owner.dataPath())).get("/v1/downloads");
    for (const QJsonValue& download : answer.body.value("downloads").toArray())
        std::printf("%s\n", download.toObject().value("id").toString().toUtf8().constData());
    return answer.status == 200 ? 0 : 1;
}

// A new one-time link to the page of the owner that runs now; none is started for it.
int printPageLink(const CommandLine& line)
{
    OwnerConnection owner(line.hostOptions());
    std::string error;
    if (!owner.configure(&error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    const ServiceClient::Answer answer =
        ServiceClient(Owner::socketPath(owner.dataPath())).post("/v1/page-link", QJsonObject());
    if (answer.status == 200) {
        std::printf("%s\n", answer.body.value("url").toString().toUtf8().constData());
        return 0;
    }
    std::fprintf(
        stderr, "haul: %s\n",
        answer.status == 0
            ? ("no owner runs for " + owner.dataPath() + "; start one with haul serve --listen 127.0.0.1:PORT").c_str()
            : answer.error.c_str());
    return 1;
}

int runCommand(CommandLine& line)
{
    if (line.command == "serve")
        return serve(line);
    if (line.command == "page")
        return printPageLink(line);
    if (line.command == "list" && line.idsOnly)
        return printIds(line);
    if (!line.cluster.empty())
        return runOnCluster(line);

    // The demo works in a folder of its own unless told otherwise; its owner leaves with it.
    std::unique_ptr<QTemporaryDir> demoData;
    if (line.command == "demo" && line.dataDir.empty()) {
        demoData.reset(new QTemporaryDir(QDir::tempPath() + "/haul-demo-XXXXXX"));
        if (!demoData->isValid()) {
            std::fprintf(stderr, "haul: cannot create a temporary folder\n");
            return 1;
        }
        line.dataDir = demoData->path().toStdString();
        line.settings.emplace_back("Service/IdleExitSeconds", "1");
    }

    // Unarmed until a command arms it: a Ctrl-C before then ends haul at once.
    InterruptWatcher watcher;
    OwnerConnection owner(line.hostOptions());
    std::string error;
    if (!owner.configure(&error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    const ProgressView::Mode mode = line.json    ? ProgressView::Mode::Json
                                    : line.quiet ? ProgressView::Mode::Quiet
                                                 : ProgressView::Mode::Human;
    ProgressView view(mode, ::isatty(STDERR_FILENO) != 0);
    std::unique_ptr<LogFollower> ownerLog;
    if (line.verbose && !line.quiet)
        ownerLog.reset(new LogFollower(owner.dataPath() + "serve.log", view));

    int status = 1;
    if (line.command == "get") {
        status = TransferCommand(line, owner, view, watcher).get();
    } else if (line.command == "resume") {
        status = TransferCommand(line, owner, view, watcher).resume();
    } else if (line.command == "pause" || line.command == "abort") {
        status = ControlCommand(owner, view, line.json).run(line.command, line.arguments);
    } else if (line.command == "forget") {
        status = ControlCommand(owner, view, line.json).forget(line.arguments, line.failed);
    } else if (line.command == "limit") {
        status = ControlCommand(owner, view, line.json).limit(owner, line.rate, line.arguments);
    } else if (line.command == "list") {
        status = ListCommand(owner, line.json).run();
    } else if (line.command == "demo") {
        status = DemoCommand(line, owner, view, watcher).run();
        if (demoData)
            view.note("demo: removing the temporary data directory (--data-dir DIR keeps the files)");
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    // glibc gives each allocating thread an arena of its own (up to 8 per core); with two
    // threads per download, freed reply buffers stay spread over many arenas and peak memory
    // grows with the number of downloads. MALLOC_ARENA_MAX still decides when set.
    if (std::getenv("MALLOC_ARENA_MAX") == nullptr)
        mallopt(M_ARENA_MAX, 2);
    // Before any thread exists, so that every thread inherits the blocked signals.
    InterruptWatcher::block();
    // A client that went away must not end the owner while it writes to it.
    std::signal(SIGPIPE, SIG_IGN);
    // The plugin's network code needs the application object on the main thread.
    QCoreApplication app(argc, argv);
    // haul needs no Qt plugin. The network manager's bearer plugins would pull in D-Bus and
    // systemd libraries at the first download: 50 ms before its first byte.
    QCoreApplication::setLibraryPaths({});

    CommandLine line;
    std::string out;
    std::string err;
    const int status = CommandLine::interpret(std::vector<std::string>(argv + 1, argv + argc), line, out, err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    if (status >= 0)
        return status;
    return runCommand(line);
}
