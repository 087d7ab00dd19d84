// What the transfer does with its reply: data, end of the reply, TLS errors,
// the completion checks and progress reports.
#include "ContentDisposition.h"
#include "Downloader.h"
#include "Haulwright.h"
#include "InputPolicy.h"
#include "MessageDispatcher.h"
#include "ProgressReportPayload.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QUrl>
#include <algorithm>
#include <boost/algorithm/string/trim.hpp>
#include <boost/thread/lock_guard.hpp>
#include <limits>
#include <locale>
#include <utility>
#include <vector>

namespace {

const quint32 maxRedirects = 5;
const char* const kCutShort = "Download failed: Connection closed prematurely.";

NetworkCause networkCauseOf(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::NoError:
    case QNetworkReply::OperationCanceledError:
        return NetworkCause::None;
    case QNetworkReply::ConnectionRefusedError:
        return NetworkCause::Refused;
    case QNetworkReply::RemoteHostClosedError:
        return NetworkCause::Reset;
    case QNetworkReply::HostNotFoundError:
        return NetworkCause::HostNotFound;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return NetworkCause::TimedOut;
    case QNetworkReply::SslHandshakeFailedError:
        return NetworkCause::Tls;
    case QNetworkReply::TooManyRedirectsError:
        return NetworkCause::TooManyRedirects;
    default:
        break;
    }
    if (error >= QNetworkReply::ProxyConnectionRefusedError && error <= QNetworkReply::UnknownProxyError)
        return NetworkCause::Proxy;
    // The server answered (an HTTP status, an FTP reply): the answer is the cause, not the network.
    if ((error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError) ||
        (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError))
        return NetworkCause::None;
    return NetworkCause::Other;
}

} // namespace

bool Downloader::isRedirect(QNetworkReply* answer)
{
    return !answer->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl().isEmpty();
}

std::int64_t Downloader::effectiveRate() const
{
    const std::int64_t own = ownLimit.rate();
    const std::int64_t all = RateLimit::overall().rate();
    return own > 0 && all > 0 ? std::min(own, all) : std::max(own, all);
}

qint64 Downloader::readBudget(qint64 want)
{
    const qint64 own = ownLimit.take(want);
    const qint64 both = RateLimit::overall().take(own);
    ownLimit.giveBack(own - both);
    return both;
}

void Downloader::onReadyRead()
{
    requestTimer.stop();
    if (reply == nullptr || outcomeFinal || !acceptAnswer())
        return;
    if (!piecesDecided && !discardBody) {
        piecesDecided = true;
        if (wantsPieces() && !beginPieces(expectedTotal))
            return;
    }
    if (segmented) {
        if (mainPiece >= 0 && !outcomeFinal)
            readMainPiece();
        return;
    }
    const bool dropBody = discardBody;
    fitReadBuffer(); // a limit may have changed since the last read
    if (!readBuffer)
        readBuffer.reset(new char[readChunk]);
    const bool hashing = !fileHash.empty();
    for (;;) {
        const qint64 want = dropBody ? static_cast<qint64>(readChunk)
                                     : readBudget(std::min<qint64>(readChunk, reply->bytesAvailable()));
        const qint64 got = want > 0 ? reply->read(readBuffer.get(), want) : 0;
        if (!dropBody && want > got)
            ownLimit.giveBack(want - got), RateLimit::overall().giveBack(want - got);
        if (got <= 0)
            break;
        if (dropBody)
            continue;
        if (file.write(readBuffer.get(), got) != got) {
            // Stop at the first failed write: a file with a hole is never reported complete.
            outcomeFinal = true;
            setOutcome(Failed, "Could not write to destination file.", Code::CannotWrite);
            reply->abort();
            return;
        }
        if (hashing) {
            runningHash.update(readBuffer.get(), static_cast<std::size_t>(got));
            hashedBytes += got;
        }
    }
    if (!dropBody && reply->bytesAvailable() > 0) {
        // Under a rate limit: the rest waits for its share of time.
        const qint64 next = std::min<qint64>(readChunk, reply->bytesAvailable());
        paceTimer.start(
            int(std::min<std::int64_t>(1000, std::max(ownLimit.waitMs(next), RateLimit::overall().waitMs(next)))));
    } else if (finishDeferred) {
        finishDeferred = false;
        onFinishSlot();
        return;
    }
    armTimer();
}

// "bytes A-B/T" or "bytes */T"; -1 for what is absent.
ContentRange parseContentRange(const QByteArray& value)
{
    ContentRange result;
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return result;
    const QByteArray range = text.mid(6).trimmed();
    const int slash = range.indexOf('/');
    if (slash < 0)
        return result;
    bool ok = false;
    const qint64 total = range.mid(slash + 1).toLongLong(&ok);
    if (ok)
        result.total = total;
    const int dash = range.indexOf('-');
    if (dash > 0 && dash < slash) {
        const qint64 first = range.left(dash).toLongLong(&ok);
        const qint64 last = range.mid(dash + 1, slash - dash - 1).toLongLong(&ok);
        if (ok) {
            result.first = first;
            result.last = last;
        }
    }
    return result;
}

bool Downloader::acceptAnswer()
{
    if (rangeChecked)
        return !outcomeFinal;
    rangeChecked = true;
    if (!reply->url().scheme().startsWith(QLatin1String("http")))
        return true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Error pages, redirects and 416 bodies are no part of the file.
    discardBody = status != 200 && status != 206;
    if (discardBody)
        return true;
    const QDateTime modified = reply->header(QNetworkRequest::LastModifiedHeader).toDateTime();
    details.lastModified = options.keepServerTime && modified.isValid() ? modified.toSecsSinceEpoch() : 0;
    bool sound = true;
    // Two lengths in one answer: no telling which one the body follows.
    const QList<QByteArray> lengths = reply->rawHeader("Content-Length").split(',');
    for (const QByteArray& length : lengths)
        sound = sound && length.trimmed() == lengths.first().trimmed();
    if (status == 200) {
        replyOffset = 0;
        if (rangeStart > 0) {
            // The server ignored "Range" or the file changed (If-Range): start the partial file over.
            file.resize(0);
            file.seek(0);
            restartHash();
        }
        forgetPieces();
        noteValidator();
    } else {
        // A part must start where the file ends and reach the end of the server's file.
        const ContentRange range = parseContentRange(reply->rawHeader("Content-Range"));
        expectedTotal = range.total;
        replyOffset = std::max<qint64>(range.first, 0);
        sound =
            sound && range.first == std::max<qint64>(rangeStart, 0) && range.total > 0 && range.last == range.total - 1;
    }
    if (!sound) {
        // Appending what does not add up would corrupt the file; keep it as it is.
        outcomeFinal = true;
        setOutcome(Failed, kCutShort, Code::CutShort);
        reply->abort();
    }
    return sound;
}

void Downloader::noteValidator()
{
    QByteArray tag = reply->rawHeader("ETag");
    if (tag.isEmpty() || tag.startsWith("W/"))
        tag = reply->rawHeader("Last-Modified");
    // Kept in the record: a validator no server needs is not kept at all.
    if (tag.size() > 1024)
        tag.clear();
    if (tag.toStdString() != validator) {
        validator = tag.toStdString();
        owner->rememberValidator(requestMessage->getSessionId(), validator);
    }
}

void Downloader::onFinishSlot()
{
    requestTimer.stop();
    bool redirecting = false;
    if (reply == nullptr)
        return;
    if (segmented) {
        // The reply was one piece's connection: what it ends is that piece's.
        if (mainPiece >= 0 && !outcomeFinal)
            readMainPiece();
        return;
    }
    // A paced transfer's last bytes are still to be read: it ends once they are.
    if (!outcomeFinal && !discardBody && reply->error() == QNetworkReply::NoError && reply->bytesAvailable() > 0) {
        finishDeferred = true;
        return;
    }
    finishDeferred = false;
    paceTimer.stop();
    if (outcomeFinal) {
        file.close();
        eventLoop->exit(0);
        return;
    }

    try {
        const std::int32_t httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const bool redirect = isRedirect(reply);
        if (!acceptAnswer()) {
            file.close();
            eventLoop->exit(0);
            return;
        }
        const qint64 size = file.size();
        if (reply->error() != QNetworkReply::NoError && httpStatus == 416 && rangeStart > 0 &&
            parseContentRange(reply->rawHeader("Content-Range")).total == rangeStart) {
            // Nothing was missing: the digest check decides.
            setOutcome(Completed, "Download Complete", Code::Ok);
        } else if (reply->error() == QNetworkReply::RemoteHostClosedError && (httpStatus == 200 || httpStatus == 206) &&
                   !redirect) {
            // A body cut short by a close or a reset: Qt reports it as this error or as a clean
            // end, depending on timing; either way the beginning on disk is correct.
            setOutcome(Failed, kCutShort, Code::CutShort);
            details.cause.network = NetworkCause::Reset;
        } else if (reply->error() != QNetworkReply::NoError && httpStatus == 416 && rangeStart > 0 && restartStale()) {
            redirecting = true;
        } else if (reply->error() != QNetworkReply::NoError) {
            // A 416 that a restart did not mend proves the partial file stale; other errors keep it.
            if (httpStatus == 416 && (rangeStart > 0 || restartedStale))
                deletePartialFile();
            // Credentials went only to their origin; without them a refusal is "required", not "invalid".
            const bool sentCredentials = useAuthData && sameOrigin(reply->url());
            const ReplyOutcome outcome = evaluateReplyError(reply, action, sentCredentials, httpStatus);
            setOutcome(std::get<0>(outcome), std::get<1>(outcome), std::get<2>(outcome));
            details.cause.network = networkCauseOf(reply->error());
        } else if (reply->url().scheme() == QLatin1String("ftp") || httpStatus == 200 || httpStatus == 206) {
            const QVariant header = reply->header(QNetworkRequest::ContentLengthHeader);
            const qint64 announced = header.isValid() ? header.toLongLong() : -1;
            bool complete = size == expectedTotal;
            if (httpStatus == 200)
                // Without a length, any byte will do; lengths beyond 32 bits can never be confirmed.
                complete =
                    announced < 0 ? size > 0 : announced <= std::numeric_limits<quint32>::max() && size == announced;
            else if (httpStatus != 206)
                // FTP announces the size it will send; fewer bytes is a transfer cut short.
                complete = announced < 0 || size >= announced;
            if (complete) {
                setOutcome(Completed, "Download Complete", Code::Ok);
            } else {
                setOutcome(Failed, kCutShort, Code::CutShort);
                // Ended before its announced end: the connection did, whether or not Qt said so.
                if ((httpStatus == 206 ? expectedTotal : announced) > size)
                    details.cause.network = NetworkCause::Reset;
            }
        } else if (redirect) {
            ++redirectCount;
            // Relative targets are resolved against the URL that redirected.
            QUrl target = reply->url().resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
            target.setUserInfo(QString());
            const QString scheme = target.scheme();
            // A target no request could name is not followed, however the server spells it.
            if ((scheme != QLatin1String("http") && scheme != QLatin1String("https") &&
                 scheme != QLatin1String("ftp")) ||
                target.toString(QUrl::FullyDecoded).toUtf8().size() > static_cast<int>(inputPolicy::maxUrlBytes)) {
                setOutcome(Failed, "Download failed.", Code::NotAFile);
            } else if (redirectCount <= maxRedirects) {
                redirecting = true;
                QNetworkRequest next = reply->request();
                applySslConfiguration(next, target.toString().toStdString());
                boost::lock_guard<boost::mutex> lock(mutex);
                sendRequest(target.toString().toStdString(), next);
            } else {
                boost::lock_guard<boost::mutex> lock(mutex);
                state = Failed;
                statusMessage = "Download failed: MAX Number of redirection reached.";
                details.cause.network = NetworkCause::TooManyRedirects;
            }
        } else {
            setOutcome(Failed, "Download failed.", Code::NotAFile);
        }
    } catch (const std::exception& e) {
        DOWNLOADER_LOG("DOWNLOADER: ERROR: Uknown exception caught.");
        DOWNLOADER_LOG(e.what());
        setOutcome(Failed, "Download failed: Unknown exception caught.", Code::Failed);
        redirecting = false;
    } catch (...) {
        DOWNLOADER_LOG("DOWNLOADER: ERROR: Uknown exception caught.");
        setOutcome(Failed, "Download failed: Unknown exception caught.", Code::Failed);
        redirecting = false;
    }

    if (!redirecting)
        file.close();
    if (state == Completed) {
        readServerFilename();
        if (!verifyFileHash()) {
            setOutcome(Failed, "Digest verification failed", Code::DigestMismatch);
            QFile::remove(temporalFilename);
        }
    }
    if (!redirecting)
        eventLoop->exit(0);
}

bool Downloader::restartStale()
{
    if (restartedStale)
        return false;
    restartedStale = true;
    // The server's file is shorter than what we hold: start the file over, as a 200 to a
    // Range does, with the same request but for its Range.
    forgetPieces();
    file.resize(0);
    file.seek(0);
    rangeStart = -1;
    restartHash();
    QNetworkRequest next = reply->request();
    next.setRawHeader("Range", QByteArray());
    next.setRawHeader("If-Range", QByteArray());
    QUrl target = reply->url();
    target.setUserInfo(QString());
    boost::lock_guard<boost::mutex> lock(mutex);
    sendRequest(target.toString().toStdString(), next);
    armTimer();
    return true;
}

Downloader::ReplyOutcome Downloader::evaluateReplyError(QNetworkReply* answer, DownloadAction requested,
                                                        bool withCredentials, std::int32_t httpStatus)
{
    const std::string errorText = answer->errorString().toLocal8Bit().toStdString();
    switch (answer->error()) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return ReplyOutcome(Failed, errorText, Code::TimedOut);
    case QNetworkReply::OperationCanceledError:
        if (requested == ActionPause)
            return ReplyOutcome(Paused, "Download paused.", Code::Ok);
        if (requested == ActionAbort)
            return ReplyOutcome(Canceled, "Download canceled by user.", Code::Canceled);
        return ReplyOutcome(Canceled, "Download canceled.", Code::Canceled);
    case QNetworkReply::AuthenticationRequiredError:
        if (withCredentials)
            return ReplyOutcome(Failed, "Download failed: Invalid username and/or password.", Code::CredentialsRefused);
        return ReplyOutcome(Failed, "Download failed: Server replied Authorization Required.",
                            Code::CredentialsRequired);
    case QNetworkReply::SslHandshakeFailedError:
        return ReplyOutcome(Failed, "Download failed: SSL handshake failed.", Code::TlsFailed);
    default:
        if (httpStatus == 410)
            return ReplyOutcome(Failed, "Download failed: The requested file is not longer available", Code::Gone);
        return ReplyOutcome(Failed, errorText, Code::Failed);
    }
}

namespace {

// One short phrase for the error that matters most to a person: whom to trust first, then
// when, then which name.
std::string tlsCauseOf(const QList<QSslError>& errors)
{
    static const std::vector<std::pair<std::vector<QSslError::SslError>, const char*>> causes = {
        {{QSslError::UnableToGetIssuerCertificate, QSslError::UnableToGetLocalIssuerCertificate,
          QSslError::SelfSignedCertificate, QSslError::SelfSignedCertificateInChain, QSslError::CertificateUntrusted,
          QSslError::UnableToVerifyFirstCertificate},
         "untrusted issuer"},
        {{QSslError::CertificateExpired}, "expired certificate"},
        {{QSslError::CertificateNotYetValid}, "certificate not yet valid"},
        {{QSslError::CertificateRevoked}, "revoked certificate"},
        {{QSslError::HostNameMismatch}, "host name mismatch"},
    };
    for (const auto& cause : causes) {
        for (const QSslError& error : errors) {
            if (std::find(cause.first.begin(), cause.first.end(), error.error()) != cause.first.end())
                return cause.second;
        }
    }
    return errors.isEmpty() ? std::string() : errors.first().errorString().toLower().toStdString();
}

// Retry-After: delay-seconds or an HTTP date; -1 when absent or unreadable.
std::int32_t retryAfterSeconds(const QByteArray& value)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return -1;
    const qint64 most = std::numeric_limits<std::int32_t>::max();
    bool ok = false;
    const qint64 seconds = text.toLongLong(&ok);
    if (ok)
        return seconds < 0 ? -1 : static_cast<std::int32_t>(std::min(seconds, most));
    QDateTime when = QLocale::c().toDateTime(QString::fromLatin1(text), "ddd, dd MMM yyyy HH:mm:ss 'GMT'");
    if (!when.isValid())
        return -1;
    when.setTimeSpec(Qt::UTC);
    const qint64 wait = QDateTime::currentDateTimeUtc().secsTo(when);
    return static_cast<std::int32_t>(qBound<qint64>(0, wait, most));
}

} // namespace

bool Downloader::ignoresSslErrors()
{
    if (options.ignoreSslErrors)
        return *options.ignoreSslErrors;
    std::string value;
    if (config->getValue("General/security/IgnoreSslErrors", value, 0) != 0)
        value = "no";
    return value == "yes";
}

void Downloader::onSslErrors(QNetworkReply* answer, const QList<QSslError>& errors)
{
    if (ignoresSslErrors())
        answer->ignoreSslErrors();
    else
        details.cause.tlsCause = tlsCauseOf(errors);
}

void Downloader::noteLastAnswer()
{
    // A piece that failed the transfer has said its own.
    if (reply == nullptr || details.cause.httpStatus != 0)
        return;
    details.cause.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    details.cause.retryAfter = retryAfterSeconds(reply->rawHeader("Retry-After"));
}

void Downloader::readServerFilename()
{
    if (reply == nullptr || !reply->hasRawHeader("content-disposition"))
        return;
    serverFilename = serverFilenameFromDisposition(reply->rawHeader("content-disposition").toStdString());
}

bool Downloader::verifyFileHash()
{
    if (fileHash.empty())
        return true;
    std::string expected = fileHash;
    const std::ctype<char>& ctype = std::use_facet<std::ctype<char>>(std::locale());
    for (char& c : expected)
        c = ctype.tolower(c);

    const QFileInfo info(temporalFilename);
    std::string actual;
    if (hashUsable && info.exists() && info.size() == hashedBytes)
        actual = runningHash.hexDigest();
    else if (!Sha1::hashFile(temporalFilename.toStdString(), actual))
        return false;
    return actual == expected;
}

void Downloader::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // A file in pieces tells its progress as a whole, from its timer.
    if (segmented)
        return;
    const qint32 now = static_cast<qint32>(elapsedTime.elapsed());
    if (static_cast<quint32>(now) - static_cast<quint32>(lastReportElapsed) < statusInterval || statusInterval == 0)
        return;
    // Without a length the total is unknown (0). Qt announces the received count as the total once
    // such a reply ends; that is no length either.
    const bool announced =
        bytesTotal >= 0 && reply != nullptr && reply->header(QNetworkRequest::ContentLengthHeader).isValid();
    const std::uint64_t total = announced ? static_cast<std::uint64_t>(bytesTotal) : 0;
    lastReportElapsed = static_cast<qint32>(elapsedTime.elapsed());
    const std::uint64_t rate =
        lastReportElapsed != 0 ? static_cast<std::uint64_t>(bytesReceived * 1000.0 / lastReportElapsed) : 0;
    postProgress(static_cast<std::uint64_t>(bytesReceived), total, rate, replyOffset);
}

void Downloader::postProgress(std::uint64_t current, std::uint64_t total, std::uint64_t rate, qint64 offset)
{
    CommonMessageProperties properties;
    properties.messageType = "Progress";
    properties.topic = "event://Client/Service/DownloadStatus/" + requestMessage->getSessionId().getValue();
    properties.priority = 1;
    properties.sessionId = requestMessage->getSessionId();
    properties.replyTopic = std::string();
    // Where in the file these bytes begin, so a client can count the whole file; a file in pieces
    // says them too.
    properties.details = "{\"offset\":" + std::to_string(offset) +
                         (segmented && !pieces.empty() ? ",\"pieces\":\"" + pieces::toText(pieces) + "\"" : "") + "}";
    boost::shared_ptr<ISerializable> payload(new ProgressReportPayload(current, total, rate));
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties));
    message->setPayload(payload);
    if (MessageDispatcher::getInstance()->post(message) != 0)
        DOWNLOADER_LOG("DOWNLOADER: ERROR: Could not post message.");
}
