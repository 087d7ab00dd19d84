// The transfer's object: construction, the IDownloader operations, transfer
// setup (request, proxy, TLS) and the inactivity timer.
#include "Downloader.h"

#include "ConfigKeys.h"
#include "ConfigNumber.h"
#include "DispatcherFilterGuard.h"
#include "Haulwright.h"
#include "NetworkProxyHelper.h"
#include "PieceFetcher.h"
#include "PrefixHasher.h"
#include "SafeText.h"
#include "StartRequestPayload.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QSslCertificate>
#include <QUrl>
#include <atomic>
#include <boost/lexical_cast.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/lock_types.hpp>
#include <stdexcept>

namespace {

// Qt 5 reads a whole body ahead into memory unless the reply's buffer is bounded. Transfers
// share a budget: up to twelve get the most (the disk and the digest keep pace with it), fifty
// a quarter of it each, so many downloads together hold some 12 MiB of bodies.
const qint64 replyBufferSize = 1024 * 1024;
const qint64 replyBufferLeast = 256 * 1024;
const qint64 replyBuffersBudget = 12 * 1024 * 1024;
std::atomic<int> transfers{0}; // Downloaders alive
// Long enough for a loopback or LAN server to answer QUIT.
const int ftpCloseMs = 200;

// Transfers on one thread run one after another, so they can share a manager: its HTTP thread
// and idle connections outlive each transfer. A manager keeps credentials it was given and the
// certificate policy its connections were made under, so it is shared only by transfers alike in
// both. Bounded, destroyed with the thread.
const std::size_t managersPerThread = 4;
thread_local std::vector<std::pair<bool, std::unique_ptr<QNetworkAccessManager>>> threadManagers;

QNetworkAccessManager* sharedManager(bool ignoreSslErrors)
{
    for (auto& entry : threadManagers)
        if (entry.first == ignoreSslErrors)
            return entry.second.get();
    if (threadManagers.size() >= managersPerThread)
        threadManagers.erase(threadManagers.begin());
    threadManagers.emplace_back(ignoreSslErrors, std::make_unique<QNetworkAccessManager>());
    return threadManagers.back().second.get();
}

// After a transfer that failed below HTTP: the next one starts from a new manager, whatever state
// (a network it thinks is down, a broken pooled connection) this one is in.
void dropSharedManager(QNetworkAccessManager* manager)
{
    for (auto entry = threadManagers.begin(); entry != threadManagers.end(); ++entry)
        if (entry->second.get() == manager) {
            threadManagers.erase(entry);
            return;
        }
}

template <class Number> Number readNumber(ConfigurationManager* config, const char* key, Number fallback)
{
    std::string text;
    if (config->getValue(key, text, 0) != 0)
        return fallback;
    return configNumber<Number>(text, fallback);
}

} // namespace

Downloader::Downloader(Haulwright* owner_, const QString& temporalFilename_,
                       boost::shared_ptr<LocalMessage> requestMessage_)
    : owner(owner_), requestMessage(requestMessage_), action(ActionStart), useAuthData(false), eventLoop(nullptr),
      reply(nullptr), state(NotStarted), statusMessage("NotStarted"), resultCode(number(Code::Unset)),
      logger(Logger::getDefaultInstance()), config(ConfigurationManager::getDefaultInstance()),
      statusInterval(quint32(configDefault("Downloader/StatusInterval"))),
      requestTimeout(qint32(configDefault("Downloader/RequestTimeout"))), redirectCount(0),
      temporalFilename(temporalFilename_), lastReportElapsed(0), timerConnected(false), outcomeFinal(false),
      rangeStart(-1), rangeChecked(false), discardBody(false), expectedTotal(-1), earlyStop(ActionStart),
      usedFtp(false), hashedBytes(0), hashUsable(true), restartedStale(false)
{
    transfers.fetch_add(1, std::memory_order_relaxed);
    const boost::shared_ptr<ISerializable> payload = requestMessage ? requestMessage->getPayload() : nullptr;
    const StartRequestPayload* start = dynamic_cast<const StartRequestPayload*>(payload.get());

    statusInterval = readNumber<quint32>(config, "Downloader/StatusInterval", statusInterval);
    requestTimeout = readNumber<qint32>(config, "Downloader/RequestTimeout", requestTimeout);

    if (start != nullptr) {
        url = start->getUrl();
        destinationFolder = start->getDestinationFolder();
        useAuthData = start->getUseAuthData();
        userName = start->getUserName();
        password = start->getPassword();
        fileHash = start->getFileHash();
    }
    // Credentials written into the URL are sent as given ones are: to their origin only, and a
    // refusal of them is "invalid", not "required".
    const QUrl address(QString::fromStdString(url));
    if (!useAuthData && !address.userName().isEmpty()) {
        useAuthData = true;
        userName = address.userName(QUrl::FullyDecoded).toStdString();
        password = address.password(QUrl::FullyDecoded).toStdString();
    }
    if (requestMessage)
        options = TransferOptions::from(requestMessage->getDetails());
    ownLimit.setRate(options.maxRate);
    connections = options.connections > 0
                      ? options.connections
                      : readNumber<int>(config, "Downloader/Connections", int(configDefault("Downloader/Connections")));
    connections = std::max(1, std::min(connections, pieces::maxConnections));
    if (options.requestTimeoutMs)
        requestTimeout = *options.requestTimeoutMs;
    eventLoop = new QEventLoop;
}

// Under a rate limit the buffer holds a quarter second: what the limit lets wait in memory.
void Downloader::fitReadBuffer()
{
    if (reply == nullptr)
        return;
    const qint64 share = std::clamp(replyBuffersBudget / std::max(1, transfers.load(std::memory_order_relaxed)),
                                    replyBufferLeast, replyBufferSize);
    const std::int64_t rate = effectiveRate();
    const qint64 size = rate > 0 ? std::max<qint64>(16384, std::min<qint64>(share, rate / 4)) : share;
    if (size == bufferSize)
        return;
    bufferSize = size;
    reply->setReadBufferSize(size);
}

Downloader::~Downloader()
{
    transfers.fetch_sub(1, std::memory_order_relaxed);
    delete eventLoop;
    eventLoop = nullptr;
}

void Downloader::log(int line, const std::string& text)
{
    logger->error("Downloader[" + std::to_string(line) + "] -> " + oneLine(withoutUserInfo(text)));
}

void Downloader::setOutcome(DownloadState newState, const std::string& text, Code code)
{
    boost::lock_guard<boost::mutex> lock(mutex);
    state = newState;
    statusMessage = text;
    resultCode = number(code);
}

void Downloader::deletePartialFile()
{
    file.close();
    QFile::remove(temporalFilename);
    details.provenStale = true;
}

void Downloader::start()
{
    boost::unique_lock<boost::mutex> lock(mutex);
    if (state != NotStarted)
        return;
    // Setup reads files (CA certificates, the partial file); a Pause or Abort meanwhile is
    // recorded by requestStop and honoured before the first request.
    lock.unlock();

    try {
        reply = nullptr;
        QNetworkRequest request{QUrl()};
        file.setFileName(temporalFilename);

        // Readable too: the digest of a file in pieces reads back what the connections wrote.
        QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Truncate;
        restartHash();
        const QFileInfo partial(temporalFilename);
        if (!partial.exists() || action != ActionResume) {
            // Pieces of a file that is gone name nothing: the record must not keep them either.
            pieces.clear();
            if (!savedPieces.empty())
                owner->rememberPieces(requestMessage->getSessionId(), std::string());
            savedPieces.clear();
        }
        // Never appending: pieces are written at their offsets, which O_APPEND would ignore.
        if (partial.exists() && action == ActionResume) {
            mode = QIODevice::ReadWrite;
            // A file in pieces is as long as the whole file: it goes on from where it is whole.
            rangeStart = pieces.empty() ? partial.size() : pieces::frontier(pieces, pieces.front().start);
            replyOffset = rangeStart;
            request.setRawHeader("Range", "bytes=" + QByteArray::number(rangeStart) + "-");
            // Only the same file may be continued; another one answers 200 and starts over.
            if (!validator.empty())
                request.setRawHeader("If-Range", QByteArray::fromStdString(validator));
        } else if (partial.exists() && !partial.isSymLink()) {
            QFile::remove(temporalFilename);
        }

        // A link planted at the partial file's name would have the data written elsewhere.
        if (partial.isSymLink() || !file.open(mode | QIODevice::Unbuffered) ||
            (rangeStart > 0 && !file.seek(rangeStart))) {
            setOutcome(Failed, "Could not create destination file", Code::CannotWrite);
            owner->onDownloadFinished(this);
            return;
        }
        applySslConfiguration(request, url);
        chooseManager();

        lock.lock();
        if (earlyStop != ActionStart) {
            file.close();
            state = earlyStop == ActionPause ? Paused : Canceled;
            statusMessage = earlyStop == ActionPause ? "Download paused." : "Download aborted";
            resultCode = number(Code::Ok);
            lock.unlock();
            owner->onDownloadFinished(this);
            return;
        }
        elapsedTime.start();
        sendRequest(url, request);
        armTimer();
        lock.unlock();
        // Seed the digest with what is already there, only when it is wanted (sendRequest may
        // have started an ftp transfer over).
        if (rangeStart > 0 && !fileHash.empty()) {
            hashUsable = runningHash.updateFromFile(temporalFilename.toStdString(), rangeStart);
            hashedBytes = rangeStart;
        }
        DispatcherFilterGuard filterGuard;
        eventLoop->exec(QEventLoop::ExcludeUserInputEvents);
        if (usedFtp) {
            // Qt 5 closes a cached FTP connection (QUIT) in the event loop and deletes it only
            // then; without a loop on this thread its objects would outlive the transfer.
            networkManager->clearAccessCache();
            QTimer::singleShot(ftpCloseMs, eventLoop, &QEventLoop::quit);
            eventLoop->exec(QEventLoop::ExcludeUserInputEvents);
        }
    } catch (const std::exception& e) {
        if (lock.owns_lock())
            lock.unlock();
        const bool configuration = dynamic_cast<const std::domain_error*>(&e) != nullptr;
        file.close();
        setOutcome(Failed,
                   configuration ? "Download failed due to an error in configuration. Check log for details."
                                 : "Download failed due to an unknown exception.",
                   configuration ? Code::Ok : Code::Failed);
    } catch (...) {
        if (lock.owns_lock())
            lock.unlock();
        file.close();
        setOutcome(Failed, "Download failed due to an unknown exception.", Code::Failed);
    }

    requestTimer.stop();
    pieceTimer.stop();
    noteLastAnswer();
    hasher.reset();
    retired.clear();
    fetchers.clear();
    pieceManagers.clear();
    // Outside the loop: a shared manager would otherwise keep it until its thread's next transfer.
    delete reply;
    reply = nullptr;
    if (networkManager != ownManager.get() && details.cause.network != NetworkCause::None &&
        details.cause.network != NetworkCause::TooManyRedirects)
        dropSharedManager(networkManager);
    owner->onDownloadFinished(this);
}

void Downloader::chooseManager()
{
    const bool ftp = QUrl(QString::fromStdString(url)).scheme() == QLatin1String("ftp");
    if (useAuthData || ftp || !buildProxy(url).user().isEmpty()) {
        ownManager = std::make_unique<QNetworkAccessManager>();
        networkManager = ownManager.get();
    } else {
        networkManager = sharedManager(ignoresSslErrors());
    }
}

void Downloader::resume()
{
    action = ActionResume;
    IDownloader* self = this;
    self->start();
}

void Downloader::requestStop(DownloadAction requested)
{
    boost::lock_guard<boost::mutex> lock(mutex);
    if (state == NotStarted) {
        // start() has not sent its first request yet and sends none now.
        earlyStop = requested;
        return;
    }
    if (state != InProgress || reply == nullptr)
        return;
    action = requested;
    // The reply belongs to the transfer's thread; its abort has to run there.
    QMetaObject::invokeMethod(
        this,
        [this, requested] {
            if (segmented)
                stopPieces(requested);
            else if (reply != nullptr)
                reply->abort();
        },
        Qt::QueuedConnection);
}

void Downloader::abort()
{
    requestStop(ActionAbort);
}

void Downloader::pause()
{
    requestStop(ActionPause);
}

DownloadState Downloader::getState()
{
    return state;
}
std::int32_t Downloader::getResultCode()
{
    return resultCode;
}
std::string Downloader::getStatusMessage()
{
    return statusMessage;
}
boost::shared_ptr<LocalMessage> Downloader::getRequestMessage()
{
    return requestMessage;
}
std::string Downloader::getServerFilename()
{
    // The client's choice first: a name it gave outranks the server's.
    if (!options.fileName.empty())
        return options.fileName;
    return serverFilename;
}
std::string Downloader::getTemporalFilename()
{
    return temporalFilename.toStdString();
}

void Downloader::sendRequest(const std::string& target, QNetworkRequest& request)
{
    networkManager->setProxy(buildProxy(target));
    if (reply != nullptr) {
        // A redirect's or a restart's earlier answer, in whose slot we are.
        reply->disconnect(this);
        reply->deleteLater();
    }
    statusMessage = "Download in progress";
    state = InProgress;

    QUrl address(QString::fromStdString(target));
    usedFtp = usedFtp || address.scheme() == QLatin1String("ftp");
    if (address.scheme() == QLatin1String("ftp") && rangeStart >= 0) {
        // FTP here ignores "Range": appending its whole answer would corrupt the file, so start over.
        request.setRawHeader("Range", QByteArray());
        request.setRawHeader("If-Range", QByteArray());
        file.resize(0);
        rangeStart = -1;
        replyOffset = 0;
        restartHash();
    }
    request.setRawHeader("User-Agent",
                         options.userAgent.isEmpty() ? QByteArray("haul/" HAUL_VERSION) : options.userAgent);
    // A header of the client's own; an Authorization is a credential, for the origin it named.
    for (const auto& header : options.headers) {
        const bool credential = header.first.compare("Authorization", Qt::CaseInsensitive) == 0;
        request.setRawHeader(header.first, credential && !sameOrigin(address) ? QByteArray() : header.second);
    }
    // Credentials stay with the origin the client named.
    if (useAuthData && sameOrigin(address)) {
        address.setUserName(QString::fromStdString(userName));
        address.setPassword(QString::fromStdString(password));
    }
    request.setUrl(address);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Size checks, Range and the digest must see the bytes the server stores.
    request.setRawHeader("Accept-Encoding", "identity");
    rangeChecked = false;
    discardBody = false;
    expectedTotal = -1;
    piecesDecided = false;
    // Asked from the first byte, a server that honours ranges says so with a 206: the file may
    // then be cut into pieces.
    if (connections > 1 && rangeStart < 0 && request.rawHeader("Range").isEmpty() &&
        address.scheme().startsWith(QLatin1String("http")))
        request.setRawHeader("Range", "bytes=0-");
    reply = networkManager->get(request);
    finishDeferred = false;
    bufferSize = -1;
    fitReadBuffer();
    QNetworkReply* answer = reply;
    connect(reply, &QNetworkReply::sslErrors, this,
            [this, answer](const QList<QSslError>& errors) { onSslErrors(answer, errors); });

    connect(reply, &QNetworkReply::finished, this, &Downloader::onFinishSlot);
    connect(reply, &QNetworkReply::readyRead, this, &Downloader::onReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &Downloader::onDownloadProgress);

    requestTimer.setSingleShot(true);
    requestTimer.setInterval(requestTimeout);
    paceTimer.setSingleShot(true);
    if (!timerConnected) {
        connect(&requestTimer, &QTimer::timeout, this, &Downloader::onRequestTimeout);
        connect(&paceTimer, &QTimer::timeout, this, &Downloader::onReadyRead);
        timerConnected = true;
    }
    if (redirectCount > 0)
        armTimer();
}

void Downloader::armTimer()
{
    // 0 (or less) means no limit.
    if (requestTimeout > 0)
        requestTimer.start();
}

bool Downloader::sameOrigin(const QUrl& address) const
{
    const QUrl origin(QString::fromStdString(url));
    return address.scheme() == origin.scheme() && address.host().compare(origin.host(), Qt::CaseInsensitive) == 0 &&
           address.port(-2) == origin.port(-2);
}

void Downloader::applySslConfiguration(QNetworkRequest& request, const std::string& target)
{
    // A plain request never asks for one: the default configuration loads the TLS library.
    const QString scheme = QUrl(QString::fromStdString(target)).scheme();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("ftps"))
        return;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();

    std::string dataPath;
    if (config->getValue("Directories/DataPath", dataPath, 0) != 0)
        throw std::domain_error("Error retrieving Data Path");

    QList<QSslCertificate> authorities;
    QDirIterator entries(QString::fromStdString(dataPath + "cert/"), QStringList() << "*.crt", QDir::Dirs | QDir::Files,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        QFile certificate(entries.next());
        if (!certificate.open(QIODevice::ReadOnly | QIODevice::Text))
            continue;
        authorities += QSslCertificate::fromData(certificate.readAll(), QSsl::Pem);
        certificate.close();
    }
    configuration.setCaCertificates(authorities);
    request.setSslConfiguration(configuration);
}

QNetworkProxy Downloader::buildProxy(const std::string& target)
{
    if (options.proxy)
        return *options.proxy;
    const NetworkProxy record = NetworkProxyHelper::getProxy(target);
    QNetworkProxy::ProxyType type;
    switch (record.type) {
    case 0:
        type = QNetworkProxy::DefaultProxy;
        break;
    case 1:
        type = QNetworkProxy::Socks5Proxy;
        break;
    case 2:
        type = QNetworkProxy::NoProxy;
        break;
    case 4:
        type = QNetworkProxy::FtpCachingProxy;
        break;
    default:
        type = QNetworkProxy::HttpProxy;
        break;
    }
    QNetworkProxy proxy(type, QString::fromStdString(record.host), record.port);
    if (!record.userName.empty()) {
        proxy.setUser(QString::fromStdString(record.userName));
        proxy.setPassword(QString::fromStdString(record.password));
    }
    return proxy;
}

void Downloader::onRequestTimeout()
{
    if (segmented) {
        // The reply's piece stalled: another connection takes it up.
        if (mainPiece >= 0)
            endMainPiece(false, Code::TimedOut, NetworkCause::TimedOut);
        return;
    }
    setOutcome(Failed, "No response from the endpoint - timeout occurred", Code::TimedOut);
    details.cause.network = NetworkCause::TimedOut;
    file.close();
    eventLoop->exit(0);
}

void Downloader::restartHash()
{
    runningHash.reset();
    hashedBytes = 0;
    hashUsable = true;
}
