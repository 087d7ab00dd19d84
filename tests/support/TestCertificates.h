#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// A throw-away certificate authority and a server certificate for 127.0.0.1/localhost signed by
// it, made with the openssl command line in a folder the test owns. Used on the test thread;
// the loaded certificates are plain values that may be copied anywhere.
class TestCertificates
{
public:
    // Writes ca.key, ca.crt, server.key, server.crt into folder (which must exist).
    bool create(const QString& folder);

    QString caCertPath() const { return folder_ + "/ca.crt"; }
    QString caKeyPath() const { return folder_ + "/ca.key"; }
    QString serverCertPath() const { return folder_ + "/server.crt"; }
    QString serverKeyPath() const { return folder_ + "/server.key"; }

    QSslCertificate caCertificate() const { return caCertificate_; }
    QSslCertificate serverCertificate() const { return serverCertificate_; }
    QSslKey serverKey() const { return serverKey_; }
    QString errorString() const { return error_; }

private:
    bool run(const QStringList& arguments);

    QString folder_;
    QSslCertificate caCertificate_;
    QSslCertificate serverCertificate_;
    QSslKey serverKey_;
    QString error_;
};
