#include "KillTargetProcess.h"

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <csignal>
#include <sys/types.h>

KillTargetProcess::KillTargetProcess()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Proxy variables of the machine must not redirect loopback requests.
    for (const char* name :
         {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        environment.remove(name);
    process.setProcessEnvironment(environment);
}

KillTargetProcess::~KillTargetProcess()
{
    if (isRunning()) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool KillTargetProcess::start(const QString& dataDir, const QString& session, const QStringList& args, int timeoutMs)
{
    out.clear();
    err.clear();
    process.start(QStringLiteral(KILLTARGET_PROGRAM), QStringList{"--data", dataDir, "--session", session} + args);
    if (!process.waitForStarted(10000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!out.contains("posted\n")) {
        if (clock.elapsed() > timeoutMs || !isRunning())
            return false;
        process.waitForReadyRead(50);
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
    }
    return true;
}

bool KillTargetProcess::killHard()
{
    // SIGKILL so that no handler, destructor or flush of the host gets to run.
    ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
    if (!process.waitForFinished(10000))
        return false;
    out += process.readAllStandardOutput();
    err += process.readAllStandardError();
    return process.exitStatus() == QProcess::CrashExit && process.exitCode() == SIGKILL;
}

bool KillTargetProcess::finish(Reply& reply, int timeoutMs)
{
    const bool ended = process.waitForFinished(timeoutMs);
    out += process.readAllStandardOutput();
    err += process.readAllStandardError();
    if (!ended || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return false;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.startsWith("reply "))
            continue;
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() < 3)
            return false;
        reply.type = QString::fromUtf8(parts[1]);
        reply.code = parts[2].toInt();
        reply.text = QString::fromUtf8(line.mid(parts[0].size() + parts[1].size() + parts[2].size() + 3));
        return true;
    }
    return false;
}

QString KillTargetProcess::transcript()
{
    out += process.readAllStandardOutput();
    err += process.readAllStandardError();
    return QString::fromUtf8("stdout:\n" + out + "\nstderr:\n" + err);
}
