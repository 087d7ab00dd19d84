#pragma once

#include <QProcess>
#include <string>

// An FTP server on 127.0.0.1 serving one folder, with the account "haul" / "secret" and anonymous
// reading: pyftpdlib run by Debian's /usr/bin/python3 (the python3 first on PATH may lack
// Debian's packages). The destructor stops it.
class FtpServer
{
public:
    ~FtpServer();
    // bytesPerSecond > 0 throttles every data connection.
    bool start(const std::string& root, qint64 bytesPerSecond = 0);
    // "ftp://127.0.0.1:PORT/path", anonymous.
    std::string url(const std::string& path) const;

private:
    QProcess process_;
    int port_ = 0;
};
