#include "TestHttpServer.h"

#include "GeneratedBody.h"
#include "HttpListener.h"
#include "TestCertificates.h"

#include <QThread>

TestHttpServer::TestHttpServer() = default;

TestHttpServer::~TestHttpServer()
{
    stop();
}

bool TestHttpServer::start()
{
    return startListener(false, QSslCertificate(), QSslKey(), {});
}

bool TestHttpServer::startTls(const TestCertificates& certificates)
{
    return startListener(true, certificates.serverCertificate(), certificates.serverKey(),
                         {certificates.caCertificate()});
}

bool TestHttpServer::startListener(bool tls, const QSslCertificate& certificate, const QSslKey& key,
                                   const QList<QSslCertificate>& chain)
{
    stop();
    HttpConnectionConfig config;
    config.tls = tls;
    config.certificate = certificate;
    config.key = key;
    config.chain = chain;

    thread_ = new QThread;
    thread_->setObjectName(QStringLiteral("TestHttpServer"));
    listener_ = new HttpListener(state_, config);
    listener_->moveToThread(thread_);
    // The documented way to delete an object on its own thread once that thread's loop ends.
    QObject::connect(thread_, &QThread::finished, listener_, &QObject::deleteLater);
    thread_->start();

    bool opened = false;
    quint16 port = 0;
    // Blocking: the socket must be created on the thread that will serve it, and the caller needs the port.
    QMetaObject::invokeMethod(
        listener_,
        [&] {
            opened = listener_->open();
            port = listener_->serverPort();
        },
        Qt::BlockingQueuedConnection);
    if (!opened) {
        stop();
        return false;
    }
    tls_ = tls;
    port_ = port;
    return true;
}

void TestHttpServer::stop()
{
    if (thread_ == nullptr) {
        return;
    }
    HttpListener* listener = listener_;
    QMetaObject::invokeMethod(
        listener, [listener] { listener->shutdown(); }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
    delete thread_;
    thread_ = nullptr;
    listener_ = nullptr;
    port_ = 0;
}

QString TestHttpServer::url(const QString& path) const
{
    const QString slash = path.startsWith('/') ? QString() : QStringLiteral("/");
    return QStringLiteral("%1://127.0.0.1:%2%3%4").arg(tls_ ? "https" : "http").arg(port()).arg(slash, path);
}

void TestHttpServer::route(const QString& path, const Route& route)
{
    state_.setRoute(path, route);
}

void TestHttpServer::redirectChain(const QString& firstPath, int hops, const QString& finalPath, int status)
{
    QString from = firstPath;
    for (int i = 1; i <= hops; ++i) {
        const QString to = i == hops ? finalPath : firstPath + "/" + QString::number(i);
        Route r;
        r.status = status;
        r.redirectTo = to;
        state_.setRoute(from, r);
        from = to;
    }
}

QList<RecordedRequest> TestHttpServer::requests() const
{
    return state_.requests();
}

void TestHttpServer::clearRequests()
{
    state_.clearRequests();
}

int TestHttpServer::waitForRequests(int count, int timeoutMs)
{
    return state_.waitForRequests(count, timeoutMs);
}

void TestHttpServer::setRequestObserver(const std::function<void(const RecordedRequest&)>& observer)
{
    state_.setObserver(observer);
}

QByteArray TestHttpServer::generatedContent(quint32 seed, qint64 offset, qint64 length)
{
    return GeneratedBody::content(seed, offset, length);
}

QByteArray TestHttpServer::generatedSha1(quint32 seed, qint64 size)
{
    return GeneratedBody::sha1(seed, size);
}
