#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// Settings a connection needs from its listener; copied into each connection.
struct HttpConnectionConfig
{
    bool tls = false;
    QSslCertificate certificate;
    QSslKey key;
    QList<QSslCertificate> chain;
    QString baseUrl;
};
