#include "FtpServer.h"

FtpServer::~FtpServer()
{
    process_.kill();
    process_.waitForFinished(5000);
}

bool FtpServer::start(const std::string& root, qint64 bytesPerSecond)
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start("/usr/bin/python3", {HAUL_FTP_SERVER_SCRIPT, QString::fromStdString(root), QString::number(bytesPerSecond)});
    // It prints "PORT n" once it listens.
    while (!process_.canReadLine() && process_.waitForReadyRead(15000)) {
    }
    const QByteArray line = process_.readLine().trimmed();
    port_ = line.startsWith("PORT ") ? line.mid(5).toInt() : 0;
    return port_ > 0;
}

std::string FtpServer::url(const std::string& path) const
{
    return "ftp://127.0.0.1:" + std::to_string(port_) + path;
}
