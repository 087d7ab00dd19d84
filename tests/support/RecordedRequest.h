#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// One request as TestHttpServer saw it; a plain value copied out to the tests.
class RecordedRequest
{
public:
    QByteArray method;
    // As written in the request line: "/path?q" or, through a proxy, "http://host:port/path?q".
    QByteArray target;
    // Decoded path without query, the key used to find the route.
    QString path;
    QList<QPair<QByteArray, QByteArray>> headers;
    bool tls = false;

    // Case-insensitive; an empty array when the header is absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
};
