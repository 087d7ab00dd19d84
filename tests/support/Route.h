#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// What TestHttpServer answers on one path. A plain value: the server copies it when a request
// arrives, so changing a route never affects a response already under way.
struct Route
{
    int status = 200;

    // The body is `body`, unless generatedSize >= 0: then it is GeneratedBody(seed) of that size,
    // produced chunk by chunk while sending.
    QByteArray body;
    qint64 generatedSize = -1;
    quint32 seed = 0;

    // Sent after the server's own headers; a name given here replaces the server's header of that
    // name (Content-Length, Content-Type, Content-Range, Location...).
    QList<QPair<QByteArray, QByteArray>> headers;
    // Raw bytes inserted into the header block as they are; each line must end in "\r\n".
    QByteArray extraHeaderBlob;
    // Adds padding headers totalling about this many bytes (e.g. 1 MiB of headers).
    qint64 largeHeaderBytes = 0;

    // A path ("/next") becomes an absolute URL on this server at answer time, so redirects can be
    // declared before the port is known; anything else is sent verbatim as Location.
    QString redirectTo;

    bool honourRange = true;
    bool sendContentLength = true;
    qint64 announcedLength = -1;

    qint64 cutAfterBytes = -1;
    bool resetMidBody = false;

    // 0: no stall; -1: stall forever while keeping the connection open.
    int stallAfterHeadersMs = 0;
    qint64 stallAfterBytes = -1;
    int stallMs = 0;

    qint64 bytesPerSecond = 0;

    QString authUser;
    QString authPassword;
};
