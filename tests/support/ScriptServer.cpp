#include "ScriptServer.h"

#include "Fixture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>
#include <cctype>
#include <future>
#include <sys/socket.h>

namespace {

// Small, so a slow reader holds the server back instead of the server buffering the body.
constexpr qint64 kHighWater = 256 * 1024;
constexpr qint64 kPiece = 64 * 1024;

QByteArray reason(int status)
{
    static const QHash<int, QByteArray> texts = {{103, "Early Hints"},
                                                 {200, "OK"},
                                                 {202, "Accepted"},
                                                 {204, "No Content"},
                                                 {206, "Partial Content"},
                                                 {301, "Moved Permanently"},
                                                 {302, "Found"},
                                                 {303, "See Other"},
                                                 {307, "Temporary Redirect"},
                                                 {308, "Permanent Redirect"},
                                                 {400, "Bad Request"},
                                                 {401, "Unauthorized"},
                                                 {403, "Forbidden"},
                                                 {404, "Not Found"},
                                                 {407, "Proxy Authentication Required"},
                                                 {408, "Request Timeout"},
                                                 {410, "Gone"},
                                                 {416, "Range Not Satisfiable"},
                                                 {429, "Too Many Requests"},
                                                 {500, "Internal Server Error"},
                                                 {502, "Bad Gateway"},
                                                 {503, "Service Unavailable"}};
    return texts.value(status, "Status");
}

// Hands each accepted descriptor to a callback instead of queueing a socket.
class Listener : public QTcpServer
{
public:
    std::function<void(qintptr)> accepted;

protected:
    void incomingConnection(qintptr descriptor) override { accepted(descriptor); }
};

// "bytes=N-" or "bytes=N-M"; false for anything else, which HTTP says to ignore.
bool parseRange(const QByteArray& value, qint64* first, qint64* last)
{
    const QByteArray v = value.trimmed();
    const int dash = v.indexOf('-');
    if (!v.startsWith("bytes=") || v.contains(',') || dash < 7)
        return false;
    bool ok = false;
    *first = v.mid(6, dash - 6).toLongLong(&ok);
    if (!ok)
        return false;
    *last = dash + 1 < v.size() ? v.mid(dash + 1).toLongLong(&ok) : -1;
    return ok && *first >= 0 && (*last < 0 || *last >= *first);
}

// If-Range names the file the client holds: a Range only counts while it is still the one served.
bool validatorHolds(const Request& request, const QUrlQuery& query)
{
    if (!request.has("If-Range"))
        return true;
    for (const QString& line : query.allQueryItemValues("h", QUrl::FullyDecoded))
        if (line.section(':', 1).trimmed().toUtf8() == request.header("If-Range"))
            return true;
    return false;
}

} // namespace

QByteArray Request::header(const QByteArray& name) const
{
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

bool Request::has(const QByteArray& name) const
{
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// One accepted connection, served by blocking calls on its own thread.
struct ScriptServer::Connection
{
    QTcpSocket& socket;
    const std::atomic<bool>& stopping;

    bool alive() const { return !stopping && socket.state() == QAbstractSocket::ConnectedState; }

    bool send(const QByteArray& bytes)
    {
        socket.write(bytes);
        while (alive() && socket.bytesToWrite() > kHighWater)
            socket.waitForBytesWritten(50);
        return alive();
    }

    // Keeps the connection open without sending; -1 until the client or the server gives up.
    void hold(qint64 ms)
    {
        QElapsedTimer clock;
        clock.start();
        while (alive() && (ms < 0 || clock.elapsed() < ms))
            if (socket.waitForReadyRead(20))
                socket.readAll();
    }
};

ScriptServer::~ScriptServer()
{
    stop();
}

bool ScriptServer::start()
{
    return listen(false);
}

bool makeCertificates(const std::string& folder)
{
    // EC keys: milliseconds to make, where RSA takes a noticeable fraction of a second.
    const QString key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 ";
    const QString made = "cd '" + QString::fromStdString(folder) + "' && openssl req -x509" + key +
                         "-keyout ca.key -out ca.crt -subj /CN=HaulTestCA"
                         " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"
                         " && openssl req -x509 -CA ca.crt -CAkey ca.key" +
                         key +
                         "-keyout server.key -out server.crt -subj /CN=127.0.0.1"
                         " -addext subjectAltName=IP:127.0.0.1,DNS:localhost"
                         " && openssl req -x509 -CA ca.crt -CAkey ca.key" +
                         key + "-keyout client.key -out client.crt -subj /CN=haul-client";
    return writeFile(folder + "/.made", "") && QProcess::execute("sh", {"-c", made + " 2>/dev/null"}) == 0;
}

bool ScriptServer::startTls(const std::string& folder)
{
    if (!makeCertificates(folder))
        return false;
    certificate_ = readFile(folder + "/server.crt");
    key_ = readFile(folder + "/server.key");
    return listen(true);
}

bool ScriptServer::listen(bool tls)
{
    stop();
    stopping_ = false;
    tls_ = tls;
    std::promise<quint16> ready;
    std::future<quint16> port = ready.get_future();
    listener_ = std::thread([this, &ready] {
        Listener listener;
        listener.accepted = [this](qintptr descriptor) {
            std::lock_guard<std::mutex> lock(mutex_);
            connections_.emplace_back([this, descriptor] { serve(descriptor); });
        };
        const bool listening = listener.listen(QHostAddress::LocalHost, 0);
        ready.set_value(listening ? listener.serverPort() : 0);
        while (listening && !stopping_)
            listener.waitForNewConnection(50);
    });
    port_ = port.get();
    if (port_ == 0)
        stop();
    return port_ != 0;
}

void ScriptServer::stop()
{
    stopping_ = true;
    if (listener_.joinable())
        listener_.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.swap(connections_);
    }
    for (std::thread& connection : connections)
        connection.join();
}

std::string ScriptServer::url(const QString& pathAndQuery) const
{
    const QString slash = pathAndQuery.startsWith('/') ? "" : "/";
    return QString("%1://127.0.0.1:%2%3%4")
        .arg(tls_ ? "https" : "http")
        .arg(port_)
        .arg(slash, pathAndQuery)
        .toStdString();
}

void ScriptServer::script(const QString& path, const QString& query)
{
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_.insert(path, query);
}

void ScriptServer::onRequest(std::function<void(const Request&)> observer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

QList<Request> ScriptServer::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ScriptServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

bool ScriptServer::waitRequests(int count, int timeoutMs) const
{
    return waitUntil([&] { return requests().size() >= count; }, timeoutMs);
}

void ScriptServer::serve(qintptr descriptor)
{
    std::unique_ptr<QTcpSocket> socket(tls_ ? new QSslSocket : new QTcpSocket);
    if (!socket->setSocketDescriptor(descriptor))
        return;
    if (tls_) {
        auto* ssl = static_cast<QSslSocket*>(socket.get());
        ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
        ssl->setLocalCertificate(QSslCertificate(certificate_));
        ssl->setPrivateKey(QSslKey(key_, QSsl::Ec));
        ssl->startServerEncryption();
        if (!ssl->waitForEncrypted(5000))
            return; // a client that does not trust us ends the handshake
    }
    Connection peer{*socket, stopping_};
    const int connection = ++connectionCount_;
    QByteArray head;
    for (;;) {
        while (!head.contains("\r\n\r\n")) {
            if (!peer.alive() || head.size() > (1 << 20) || socket->state() != QAbstractSocket::ConnectedState)
                return;
            if (socket->waitForReadyRead(50))
                head += socket->readAll();
            if (!head.isEmpty() && !std::isupper(static_cast<unsigned char>(head[0])))
                return; // not HTTP (a TLS hello on a plain port): the client sees a closed connection
        }
        const int end = head.indexOf("\r\n\r\n");
        Request request = parsed(head.left(end));
        head.remove(0, end + 4);
        request.tls = tls_;
        request.connection = connection;
        QString query = QUrl(request.target.startsWith('/') ? "http://h" + request.target : request.target)
                            .query(QUrl::FullyEncoded);
        std::function<void(const Request&)> observer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.append(request);
            query = scripts_.value(request.path, query);
            observer = observer_;
        }
        if (observer)
            observer(request);

        answer(peer, request, query);
        while (peer.alive() && socket->bytesToWrite() > 0)
            socket->waitForBytesWritten(50);
        if (!QUrlQuery(query).hasQueryItem("keep"))
            break;
    }
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(1000);
}

Request ScriptServer::parsed(const QByteArray& head)
{
    Request request;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> words = lines.value(0).trimmed().split(' ');
    request.method = words.value(0);
    request.target = words.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.append(qMakePair(lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()));
    }
    const QUrl target(request.target.startsWith('/') ? "http://h" + request.target : request.target);
    request.path = target.path();
    return request;
}

void ScriptServer::answer(Connection& peer, const Request& request, const QString& script) const
{
    const QUrlQuery query(script);
    const auto has = [&](const char* key) { return query.hasQueryItem(key); };
    const auto text = [&](const char* key) { return has(key) ? query.queryItemValue(key, QUrl::FullyDecoded) : ""; };
    const auto number = [&](const char* key, qint64 fallback) {
        bool ok = false;
        const qint64 value = text(key).toLongLong(&ok);
        return ok ? value : fallback;
    };

    const QByteArray literal = text("body").toUtf8();
    const bool generated = has("size");
    const qint64 total = generated ? number("size", 0) : literal.size();
    const auto seed = quint32(number("seed", 0));
    int status = int(number("status", 200));
    qint64 from = 0;
    qint64 to = total;
    QList<QPair<QByteArray, QByteArray>> headers;
    const auto add = [&headers](const QByteArray& name, const QByteArray& value) { headers.append({name, value}); };
    QByteArray fixedBody; // answers that do not serve the file

    // only=N: the faults below (cut, stall, badrange) are for the request whose Range starts at N.
    qint64 rangeFirst = -1, rangeLast = -1;
    const bool ranged = parseRange(request.header("Range"), &rangeFirst, &rangeLast);
    const bool selected = !has("only") || (ranged && rangeFirst == number("only", -1));
    const qint64 hops = number("hops", 0);
    if (has("auth") && request.header("Authorization") != "Basic " + text("auth").toUtf8().toBase64()) {
        status = 401;
        add("WWW-Authenticate", "Basic realm=\"haul\"");
        fixedBody = "denied";
    } else if (hops > 0 || has("to")) {
        QUrlQuery rest(query);
        rest.removeAllQueryItems("to");
        rest.removeAllQueryItems("hops");
        if (hops > 1)
            rest.addQueryItem("hops", QString::number(hops - 1));
        QString location = hops > 0 ? request.path : text("to");
        if (!location.contains('?') && !rest.isEmpty())
            location += "?" + rest.query(QUrl::FullyEncoded);
        add("Location", QByteArray::fromStdString(location.startsWith('/') ? url(location) : location.toStdString()));
        status = int(number("status", 302));
        fixedBody = "moved";
    } else if (status == 200 && !has("norange") && request.has("Range") && validatorHolds(request, query)) {
        qint64 first = 0;
        qint64 last = 0;
        if (parseRange(request.header("Range"), &first, &last)) {
            if (first >= total) {
                status = 416;
                add("Content-Range", "bytes */" + QByteArray::number(total));
                from = to = 0;
            } else {
                status = 206;
                from = first;
                to = last < 0 ? total : qMin(last + 1, total);
                // badrange: the Content-Range names a place one byte further than the body's.
                const qint64 named = from + (has("badrange") && selected ? 1 : 0);
                add("Content-Range", "bytes " + QByteArray::number(named) + "-" + QByteArray::number(to - 1) + "/" +
                                         QByteArray::number(total));
            }
        }
    }
    if (!fixedBody.isEmpty()) {
        from = 0;
        to = fixedBody.size();
    }

    const bool chunked = has("chunked");
    if (!has("nolen") && !chunked)
        add("Content-Length", QByteArray::number(number("len", to - from)));
    if (chunked)
        add("Transfer-Encoding", "chunked");
    if (!has("keep"))
        add("Connection", "close");
    for (const QString& line : query.allQueryItemValues("h", QUrl::FullyDecoded)) {
        const QByteArray name = line.section(':', 0, 0).toUtf8();
        for (int i = headers.size() - 1; i >= 0; --i)
            if (headers[i].first.compare(name, Qt::CaseInsensitive) == 0)
                headers.removeAt(i);
        add(name, line.section(':', 1).trimmed().toUtf8());
    }

    QByteArray head;
    if (has("early"))
        head += "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n";
    head += "HTTP/1.1 " + QByteArray::number(status) + " " + reason(status) + "\r\n";
    for (const auto& h : headers)
        head += h.first + ": " + h.second + "\r\n";
    for (qint64 padded = 0, i = 0; padded < number("pad", 0); padded += 1000, ++i)
        head += "X-Pad-" + QByteArray::number(i) + ": " + QByteArray(990, 'p') + "\r\n";
    if (!peer.send(head + "\r\n"))
        return;

    const qint64 stall = selected ? number("stall", 0) : 0;
    const qint64 stallAt = number("at", 0);
    const qint64 cut = selected ? number("cut", -1) : -1;
    const qint64 rate = number("rate", 0);
    bool stalled = stall == 0;
    QElapsedTimer clock;
    clock.start();
    QByteArray piece;
    for (qint64 sent = 0; from + sent < to;) {
        if (!stalled && sent == stallAt) {
            peer.hold(stall);
            stalled = true;
        }
        if (sent == cut) {
            while (peer.alive() && peer.socket.bytesToWrite() > 0)
                peer.socket.waitForBytesWritten(50);
            if (has("reset")) {
                const linger hard{1, 0};
                ::setsockopt(int(peer.socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            peer.socket.abort();
            return;
        }
        qint64 n = qMin(kPiece, to - from - sent);
        if (!stalled)
            n = qMin(n, stallAt - sent);
        if (cut >= 0)
            n = qMin(n, cut - sent);
        if (rate > 0)
            n = qMin(n, qMax<qint64>(1, rate / 20));
        if (!fixedBody.isEmpty())
            piece = fixedBody.mid(int(from + sent), int(n));
        else if (generated)
            piece = body(n, seed, from + sent);
        else
            piece = literal.mid(int(from + sent), int(n));
        if (chunked)
            piece = QByteArray::number(n, 16) + "\r\n" + piece + "\r\n";
        if (chunked && has("badchunk") && sent > 0 && sent + n >= (to - from) / 2)
            piece.prepend("zz\r\n");
        if (!peer.send(piece))
            return;
        sent += n;
        while (rate > 0 && peer.alive() && clock.elapsed() < sent * 1000 / rate)
            peer.hold(10);
    }
    if (chunked && !has("badchunk"))
        peer.send("0\r\n\r\n");
}
