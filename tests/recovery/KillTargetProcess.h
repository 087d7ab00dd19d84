#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// The haul-killtarget helper as a child process: a host of the plugin that a test can SIGKILL.
// Owned by one test and used from its thread; a helper still running is killed on destruction.
class KillTargetProcess
{
public:
    struct Reply
    {
        QString type;
        int code = -1;
        QString text;
    };

    KillTargetProcess();
    ~KillTargetProcess();
    KillTargetProcess(const KillTargetProcess&) = delete;
    KillTargetProcess& operator=(const KillTargetProcess&) = delete;

    // Starts the helper with args after "--data dataDir --session session"; true once it has
    // posted its request.
    bool start(const QString& dataDir, const QString& session, const QStringList& args, int timeoutMs = 20000);
    bool isRunning() const { return process.state() != QProcess::NotRunning; }
    // SIGKILL, then waits for the process to be gone; true when it died by the signal.
    bool killHard();
    // Waits for a normal exit and parses the "reply" line; false on timeout, crash or no reply.
    bool finish(Reply& reply, int timeoutMs = 60000);
    // Everything the helper wrote, for failure messages.
    QString transcript();

private:
    QProcess process;
    QByteArray out;
    QByteArray err;
};
