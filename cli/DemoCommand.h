#pragma once

#include "ClientEvent.h"
#include "DemoServer.h"

#include <QJsonObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

struct CommandLine;
class InterruptWatcher;
class OwnerConnection;
class ProgressView;

// "haul demo": serves a generated file on 127.0.0.1 (DemoServer) and, as a client of
// the owner like any other command, walks through
// download, pause, resume with a Range request, digest check and the instant answer for a
// file already complete, one narrated line a step. Main thread.
class DemoCommand
{
public:
    DemoCommand(const CommandLine& line, OwnerConnection& owner, ProgressView& view, InterruptWatcher& watcher);
    ~DemoCommand();

    // 0 when every step did what it should, 1 otherwise, 130 when interrupted.
    int run();

private:
    bool startServer();
    // Serves events until done() holds; false on timeout or Ctrl-C.
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);
    bool waitForStatus(const std::string& id, int timeoutMs);
    int fail(const std::string& text);
    int steps();
    // The id the owner gave the start, empty when it refused.
    std::string start();

    const CommandLine& line;
    OwnerConnection& owner;
    ProgressView& view;
    InterruptWatcher& watcher;

    DemoServer server;
    QObject context; // receives the owner's signals for as long as the demo lives
    QStringList serverLines;
    QString url;
    std::string serverSha1;
    std::map<std::string, ClientEvent> statuses; // last status report per session
    std::map<std::string, ClientEvent> progress; // last progress report per session
    std::map<std::string, ClientEvent> endings;  // the owner's word that a download stopped
    bool interrupted = false;
};
