#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// The haul program run as a child process with its own data directory, as a user would run
// it. Owned by one test, used from the test's thread.
class HaulProcess
{
public:
    struct Result
    {
        int exitCode = -1;
        bool crashed = false;
        QByteArray out;
        QByteArray err;
        QString all() const { return QString::fromUtf8(out + err); }
    };

    explicit HaulProcess(QString dataDir);
    ~HaulProcess();

    // Environment variables for the next runs (HAUL_PASSWORD...).
    void setEnv(const QString& name, const QString& value);

    // Runs haul with --data-dir first, then args; waits up to timeoutMs.
    Result run(const QStringList& args, int timeoutMs = 60000);

    // Starts haul without waiting; then interrupt() and finish().
    void start(const QStringList& args);
    // Waits until standard output holds text; false after timeoutMs.
    bool waitForOutput(const QByteArray& text, int timeoutMs);
    void interrupt();
    Result finish(int timeoutMs = 60000);

    static QString program();
    static QString testServerProgram();

private:
    QStringList fullArguments(const QStringList& args) const;

    const QString dataDir;
    QProcessEnvironment environment;
    QProcess running;
    QByteArray runningOut;
};
