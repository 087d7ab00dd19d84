#include "FtpServer.h"

#include <QDeadlineTimer>
#include <QUrl>

FtpServer::FtpServer(const QString& user, const QString& password) : user_(user), password_(password) {}

FtpServer::~FtpServer()
{
    stop();
}

bool FtpServer::start(const QString& rootFolder, qint64 bytesPerSecond)
{
    stop();
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(HAUL_FTP_SERVER_SCRIPT), "--root", rootFolder, "--user", user_, "--password",
                    password_, "--rate", QString::number(bytesPerSecond)});
    if (!process_.waitForStarted(10000)) {
        error_ = "cannot run /usr/bin/python3: " + process_.errorString();
        return false;
    }
    QDeadlineTimer deadline(15000);
    QByteArray line;
    while (!process_.canReadLine()) {
        if (deadline.hasExpired() || process_.state() != QProcess::Running) {
            error_ = "the FTP server did not report its port";
            stop();
            return false;
        }
        process_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    line = process_.readLine().trimmed();
    bool ok = false;
    const int port = line.startsWith("PORT ") ? line.mid(5).toInt(&ok) : 0;
    if (!ok || port <= 0 || port > 65535) {
        error_ = "unexpected output from the FTP server: " + QString::fromUtf8(line);
        stop();
        return false;
    }
    port_ = quint16(port);
    return true;
}

void FtpServer::stop()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
    port_ = 0;
}

QString FtpServer::url(const QString& path, bool withCredentials) const
{
    QUrl url;
    url.setScheme(QStringLiteral("ftp"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port_);
    url.setPath(path.startsWith('/') ? path : "/" + path);
    if (withCredentials) {
        url.setUserName(user_);
        url.setPassword(password_);
    }
    return url.toString();
}
