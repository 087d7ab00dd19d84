#include "HttpConnection.h"

#include "GeneratedBody.h"
#include "ServerState.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QUrl>
#include <sys/socket.h>

namespace {

constexpr qint64 kChunk = 64 * 1024;
// Kept small so a slow reader holds the server back instead of the server buffering the body.
constexpr qint64 kHighWater = 256 * 1024;
constexpr int kMaxHeaderBytes = 4 * 1024 * 1024;

QByteArray reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 407:
        return "Proxy Authentication Required";
    case 410:
        return "Gone";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool hasHeader(const QList<QPair<QByteArray, QByteArray>>& headers, const QByteArray& name)
{
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

// Parses "bytes=N-" or "bytes=N-M"; false for anything else, which is then ignored like HTTP says.
bool parseRange(const QByteArray& value, qint64* first, qint64* last)
{
    const QByteArray v = value.trimmed();
    if (!v.startsWith("bytes=") || v.contains(',')) {
        return false;
    }
    const QByteArray bounds = v.mid(6);
    const int dash = bounds.indexOf('-');
    if (dash <= 0) {
        return false;
    }
    bool ok = false;
    *first = bounds.left(dash).toLongLong(&ok);
    if (!ok || *first < 0) {
        return false;
    }
    const QByteArray tail = bounds.mid(dash + 1);
    *last = -1;
    if (!tail.isEmpty()) {
        *last = tail.toLongLong(&ok);
        if (!ok || *last < *first) {
            return false;
        }
    }
    return true;
}

} // namespace

HttpConnection::HttpConnection(qintptr descriptor, const HttpConnectionConfig& config, ServerState& state,
                               QObject* parent)
    : QObject(parent), config_(config), state_(state)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &HttpConnection::resume);

    if (config_.tls) {
        auto* ssl = new QSslSocket(this);
        socket_ = ssl;
        if (!ssl->setSocketDescriptor(descriptor)) {
            gone_ = true;
            deleteLater();
            return;
        }
        ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
        ssl->setLocalCertificate(config_.certificate);
        ssl->setPrivateKey(config_.key);
        if (!config_.chain.isEmpty()) {
            QSslConfiguration conf = ssl->sslConfiguration();
            QList<QSslCertificate> local = config_.chain;
            local.prepend(config_.certificate);
            conf.setLocalCertificateChain(local);
            ssl->setSslConfiguration(conf);
        }
        connect(ssl, &QSslSocket::encryptedBytesWritten, this, &HttpConnection::pump);
        // A client that does not trust us fails the handshake; the connection simply ends.
        connect(ssl, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this,
                [this](const QList<QSslError>&) { abortNow(); });
        ssl->startServerEncryption();
    } else {
        socket_ = new QTcpSocket(this);
        if (!socket_->setSocketDescriptor(descriptor)) {
            gone_ = true;
            deleteLater();
            return;
        }
    }
    connect(socket_, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(socket_, &QTcpSocket::bytesWritten, this, &HttpConnection::pump);
    connect(socket_, &QTcpSocket::disconnected, this, &HttpConnection::onGone);
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::SslHandshakeFailedError) {
            abortNow();
        } else if (socket_->state() != QAbstractSocket::ConnectedState) {
            onGone();
        }
    });
}

void HttpConnection::abortNow()
{
    timer_.stop();
    if (socket_ != nullptr) {
        socket_->abort();
    }
    onGone();
}

void HttpConnection::onGone()
{
    if (gone_) {
        return;
    }
    gone_ = true;
    timer_.stop();
    deleteLater();
}

void HttpConnection::onReadyRead()
{
    if (responding_) {
        // Request bodies and pipelined requests are not served: one answer per connection.
        socket_->readAll();
        return;
    }
    buffer_ += socket_->readAll();
    const int end = buffer_.indexOf("\r\n\r\n");
    if (end < 0) {
        if (buffer_.size() > kMaxHeaderBytes) {
            abortNow();
        }
        return;
    }
    responding_ = true;
    const QList<QByteArray> lines = buffer_.left(end).split('\n');
    buffer_.clear();

    RecordedRequest request;
    request.tls = config_.tls;
    const QList<QByteArray> parts = lines.value(0).trimmed().split(' ');
    request.method = parts.value(0);
    request.target = parts.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0) {
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
    }
    // Absolute form is what a client sends to a proxy; serve it by its path all the same.
    QByteArray pathPart = request.target;
    if (pathPart.startsWith("http://") || pathPart.startsWith("https://")) {
        const QUrl url = QUrl::fromEncoded(pathPart);
        pathPart = url.path(QUrl::FullyEncoded).toUtf8();
        if (pathPart.isEmpty()) {
            pathPart = "/";
        }
        if (url.hasQuery()) {
            pathPart += "?" + url.query(QUrl::FullyEncoded).toUtf8();
        }
    }
    const int q = pathPart.indexOf('?');
    request.path = QUrl::fromPercentEncoding(q < 0 ? pathPart : pathPart.left(q));
    state_.record(request);
    respond(request);
}

void HttpConnection::sendSimple(int status, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers)
{
    // The route's faults (reset, stalls) apply to its own answer only, not to a 401 or 404.
    route_ = Route();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " " + reason(status) + "\r\n";
    head += "Content-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto& h : headers) {
        head += h.first + ": " + h.second + "\r\n";
    }
    head += "Connection: close\r\n\r\n";
    socket_->write(head);
    socket_->write(body);
    finishing_ = true;
    socket_->disconnectFromHost();
}

void HttpConnection::respond(const RecordedRequest& request)
{
    if (!state_.findRoute(request.path, &route_)) {
        sendSimple(404, "404 Not Found\n", {});
        return;
    }
    if (!route_.authUser.isEmpty() || !route_.authPassword.isEmpty()) {
        const QByteArray expected =
            "Basic " + (route_.authUser.toUtf8() + ":" + route_.authPassword.toUtf8()).toBase64();
        if (request.header("Authorization") != expected) {
            sendSimple(401, "401 Unauthorized\n", {{"WWW-Authenticate", "Basic realm=\"test\""}});
            return;
        }
    }

    int status = route_.status;
    const bool generated = route_.generatedSize >= 0;
    if (!generated && route_.body.isEmpty() && status >= 400) {
        route_.body = QByteArray::number(status) + " " + reason(status) + "\n";
    }
    const qint64 total = generated ? route_.generatedSize : route_.body.size();
    qint64 first = 0;
    qint64 end = total;
    QByteArray contentRange;
    qint64 rangeFirst = 0;
    qint64 rangeLast = -1;
    // If-Range: the range only when the validator names the version served (ETag or Last-Modified).
    const QByteArray ifRange = request.header("If-Range");
    bool sameVersion = ifRange.isEmpty();
    for (const auto& h : route_.headers) {
        const bool validator = h.first.compare("ETag", Qt::CaseInsensitive) == 0 ||
                               h.first.compare("Last-Modified", Qt::CaseInsensitive) == 0;
        sameVersion = sameVersion || (validator && h.second == ifRange);
    }
    if (route_.honourRange && sameVersion && status == 200 &&
        parseRange(request.header("Range"), &rangeFirst, &rangeLast)) {
        if (rangeFirst >= total) {
            status = 416;
            end = 0;
            contentRange = "bytes */" + QByteArray::number(total);
        } else {
            status = 206;
            first = rangeFirst;
            end = rangeLast < 0 ? total : qMin(total, rangeLast + 1);
            contentRange = "bytes " + QByteArray::number(first) + "-" + QByteArray::number(end - 1) + "/" +
                           QByteArray::number(total);
        }
    }

    const auto& custom = route_.headers;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " " + reason(status) + "\r\n";
    head += "Server: haul-test\r\n";
    if (!hasHeader(custom, "Content-Type")) {
        head += "Content-Type: application/octet-stream\r\n";
    }
    if (route_.sendContentLength && !hasHeader(custom, "Content-Length")) {
        const qint64 length = route_.announcedLength >= 0 ? route_.announcedLength : end - first;
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    if (!contentRange.isEmpty() && !hasHeader(custom, "Content-Range")) {
        head += "Content-Range: " + contentRange + "\r\n";
    }
    if (route_.honourRange && !hasHeader(custom, "Accept-Ranges")) {
        head += "Accept-Ranges: bytes\r\n";
    }
    if (!route_.redirectTo.isEmpty() && !hasHeader(custom, "Location")) {
        head += "Location: " + absoluteLocation(route_.redirectTo).toUtf8() + "\r\n";
    }
    head += "Connection: close\r\n";
    for (const auto& h : custom) {
        head += h.first + ": " + h.second + "\r\n";
    }
    head += route_.extraHeaderBlob;
    for (qint64 padded = 0, n = 0; padded < route_.largeHeaderBytes; ++n) {
        const QByteArray line = "X-Padding-" + QByteArray::number(n) + ": " + QByteArray(8000, 'p') + "\r\n";
        head += line;
        padded += line.size();
    }
    head += "\r\n";
    socket_->write(head);

    if (request.method == "HEAD") {
        end = first;
    }
    sourceOffset_ = first;
    sendLimit_ = end - first;
    if (route_.cutAfterBytes >= 0) {
        sendLimit_ = qMin(sendLimit_, route_.cutAfterBytes);
    }
    rateClock_.start();
    if (route_.stallAfterHeadersMs != 0) {
        stall(route_.stallAfterHeadersMs);
        return;
    }
    pump();
}

qint64 HttpConnection::pending() const
{
    qint64 n = socket_->bytesToWrite();
    if (config_.tls) {
        n += static_cast<QSslSocket*>(socket_)->encryptedBytesToWrite();
    }
    return n;
}

void HttpConnection::stall(int ms)
{
    stalled_ = true;
    if (ms >= 0) {
        timer_.start(ms);
    }
}

void HttpConnection::resume()
{
    if (stalled_) {
        stalled_ = false;
        // A stall is not credit for the rate limit: restart its clock.
        rateClock_.restart();
        rateBaseSent_ = sent_;
    }
    waitingForRate_ = false;
    pump();
}

void HttpConnection::pump()
{
    if (gone_ || !responding_ || stalled_ || waitingForRate_ || finishing_) {
        if (finishing_ && !gone_) {
            finish();
        }
        return;
    }
    if (socket_->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    QByteArray chunk;
    while (sent_ < sendLimit_) {
        if (route_.stallAfterBytes >= 0 && sent_ >= route_.stallAfterBytes && !midStallDone_) {
            midStallDone_ = true;
            stall(route_.stallMs);
            return;
        }
        if (pending() >= kHighWater) {
            return;
        }
        qint64 n = qMin(kChunk, sendLimit_ - sent_);
        if (route_.stallAfterBytes > sent_ && !midStallDone_) {
            n = qMin(n, route_.stallAfterBytes - sent_);
        }
        if (route_.bytesPerSecond > 0) {
            const qint64 rate = route_.bytesPerSecond;
            const qint64 burst = qBound<qint64>(1, rate / 20, kChunk);
            const qint64 allowed = rate * rateClock_.elapsed() / 1000 + burst - (sent_ - rateBaseSent_);
            if (allowed <= 0) {
                const qint64 waitMs = qBound<qint64>(1, (-allowed + burst) * 1000 / rate, 1000);
                waitingForRate_ = true;
                timer_.start(int(waitMs));
                return;
            }
            n = qMin(n, allowed);
        }
        const qint64 offset = sourceOffset_ + sent_;
        if (route_.generatedSize >= 0) {
            chunk.resize(int(n));
            GeneratedBody::fill(route_.seed, offset, chunk.data(), n);
            socket_->write(chunk);
        } else {
            socket_->write(route_.body.constData() + offset, n);
        }
        sent_ += n;
    }
    finishing_ = true;
    finish();
}

void HttpConnection::finish()
{
    if (!route_.resetMidBody) {
        // Flushes what is buffered, then FIN: a short body when Content-Length promised more.
        socket_->disconnectFromHost();
        return;
    }
    if (pending() > 0) {
        socket_->flush();
        // A flush that wrote everything emits no further bytesWritten to come back with.
        if (pending() > 0)
            return;
    }
    // Zero linger makes close() send RST instead of FIN.
    struct linger lin;
    lin.l_onoff = 1;
    lin.l_linger = 0;
    ::setsockopt(int(socket_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lin, sizeof(lin));
    abortNow();
}

QString HttpConnection::absoluteLocation(const QString& target) const
{
    if (target.startsWith('/')) {
        return config_.baseUrl + target;
    }
    return target;
}
