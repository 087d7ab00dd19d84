#pragma once

#include "RecordedRequest.h"
#include "Route.h"
#include "ServerState.h"

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <atomic>
#include <functional>

class HttpListener;
class QThread;
class TestCertificates;

// A scripted HTTP/1.1 (or HTTPS) server on 127.0.0.1, port chosen by the system. It answers on a
// thread of its own, so a test may block its own thread in a transfer. Owned by the test; all
// methods may be called from any thread, start/stop from one thread at a time.
// Every answer closes the connection. A request in absolute form ("GET http://h:p/x") is served
// by its path, so the server doubles as an HTTP proxy.
class TestHttpServer
{
public:
    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    bool start();
    bool startTls(const TestCertificates& certificates);
    void stop();

    quint16 port() const { return port_.load(); }
    // "http(s)://127.0.0.1:<port>" followed by path (a "/" is added when path lacks one).
    QString url(const QString& path) const;

    // Routes may be added or replaced at any time, before or after start.
    void route(const QString& path, const Route& route);
    // firstPath -> firstPath/1 -> ... -> firstPath/(hops-1) -> finalPath: `hops` redirects in all,
    // each with an absolute Location.
    void redirectChain(const QString& firstPath, int hops, const QString& finalPath, int status = 302);

    QList<RecordedRequest> requests() const;
    void clearRequests();
    // Returns the number of requests seen once it reaches count or the time is up.
    int waitForRequests(int count, int timeoutMs);
    // Called on the server thread for every request, as soon as its header is read.
    void setRequestObserver(const std::function<void(const RecordedRequest&)>& observer);

    static QByteArray generatedContent(quint32 seed, qint64 offset, qint64 length);
    // Raw SHA-1 digest of a generated body of that size.
    static QByteArray generatedSha1(quint32 seed, qint64 size);

private:
    bool startListener(bool tls, const QSslCertificate& certificate, const QSslKey& key,
                       const QList<QSslCertificate>& chain);

    ServerState state_;
    QThread* thread_ = nullptr;
    HttpListener* listener_ = nullptr;
    std::atomic<quint16> port_{0};
    std::atomic<bool> tls_{false};
};
