#include "HaulProcess.h"

#include <QElapsedTimer>
#include <QThread>
#include <csignal>

HaulProcess::HaulProcess(QString dataDir)
    : dataDir(std::move(dataDir)), environment(QProcessEnvironment::systemEnvironment())
{
    environment.remove("HAUL_PASSWORD");
    // Proxy variables of the machine must not redirect loopback requests.
    for (const char* name :
         {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        environment.remove(name);
}

HaulProcess::~HaulProcess()
{
    if (running.state() != QProcess::NotRunning) {
        running.kill();
        running.waitForFinished(5000);
    }
}

void HaulProcess::setEnv(const QString& name, const QString& value)
{
    environment.insert(name, value);
}

QString HaulProcess::program()
{
    return QStringLiteral(HAUL_PROGRAM);
}

QString HaulProcess::testServerProgram()
{
    return QStringLiteral(HAUL_TESTSERVER_PROGRAM);
}

QStringList HaulProcess::fullArguments(const QStringList& args) const
{
    return QStringList{"--data-dir", dataDir} + args;
}

HaulProcess::Result HaulProcess::run(const QStringList& args, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program(), fullArguments(args));
    Result result;
    if (!process.waitForStarted(10000) || !process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.crashed = true;
    }
    result.crashed = result.crashed || process.exitStatus() == QProcess::CrashExit;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void HaulProcess::start(const QStringList& args)
{
    runningOut.clear();
    running.setProcessEnvironment(environment);
    running.start(program(), fullArguments(args));
    running.waitForStarted(10000);
}

bool HaulProcess::waitForOutput(const QByteArray& text, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!runningOut.contains(text)) {
        if (clock.elapsed() > timeoutMs || running.state() == QProcess::NotRunning)
            return false;
        running.waitForReadyRead(50);
        runningOut += running.readAllStandardOutput();
    }
    return true;
}

void HaulProcess::interrupt()
{
    ::kill(static_cast<pid_t>(running.processId()), SIGINT);
}

HaulProcess::Result HaulProcess::finish(int timeoutMs)
{
    Result result;
    if (!running.waitForFinished(timeoutMs)) {
        running.kill();
        running.waitForFinished(5000);
        result.crashed = true;
    }
    result.crashed = result.crashed || running.exitStatus() == QProcess::CrashExit;
    result.exitCode = running.exitCode();
    result.out = runningOut + running.readAllStandardOutput();
    result.err = running.readAllStandardError();
    return result;
}
