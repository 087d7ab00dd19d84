// A transfer cut into pieces fetched over several connections at once: the plan at the first
// answer, the connections, the digest over what is whole from the start, durable records of
// the pieces, and how such a transfer ends.
#include "Downloader.h"
#include "Haulwright.h"
#include "PieceFetcher.h"
#include "PrefixHasher.h"

#include <QUrl>
#include <boost/thread/lock_guard.hpp>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace {

const int pieceTries = 5; // a piece failing more often fails the transfer (its pieces kept)
// How often the pieces are made durable: a crash fetches again at most this long of each.
const int saveEveryMs = 250;
// The first connection's first moments decide whether more are worth it.
const int probeMs = 100;
const std::int64_t fastEnough = 8 << 20; // in probeMs: 80 MiB/s

std::string failureText(Code code)
{
    switch (code) {
    case Code::TimedOut:
        return "No response from the endpoint - timeout occurred";
    case Code::CredentialsRefused:
        return "Download failed: Invalid username and/or password.";
    case Code::CutShort:
        return "Download failed: Connection closed prematurely.";
    default:
        return "Download failed.";
    }
}

} // namespace

void Downloader::setPieces(const std::string& text)
{
    std::vector<Piece> read;
    if (!text.empty() && pieces::fromText(text, std::numeric_limits<std::int64_t>::max(), read)) {
        pieces = read;
        piecesTotal = read.back().end; // in order: the last reaches the file's end
        savedPieces = text;
    }
}

bool Downloader::wantsPieces() const
{
    const QString scheme = reply->url().scheme();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && expectedTotal > 0 &&
           reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 206 &&
           (connections > 1 || !pieces.empty());
}

bool Downloader::beginPieces(std::int64_t total)
{
    if (!pieces.empty() && piecesTotal != total) {
        // Another size than the pieces were cut from: another file.
        startOver();
        return false;
    }
    if (pieces.empty()) {
        pieces = pieces::plan(replyOffset, total, connections);
        if (pieces.size() < 2) {
            pieces.clear();
            return true; // too small to be worth more connections
        }
        piecesTotal = total;
        // Room for the whole file first: a full disk fails before the transfer, keeping nothing
        // new. A file system that cannot reserve (no emulation: it writes every block) goes without.
        const int error = ::fallocate(file.handle(), 0, 0, total) == 0 ? 0 : errno;
        if (error != 0 && error != EOPNOTSUPP) {
            pieces.clear();
            piecesTotal = -1;
            outcomeFinal = true;
            setOutcome(Failed, "Could not write to destination file.", Code::CannotWrite);
            if (replyOffset == 0)
                deletePartialFile();
            else
                file.resize(replyOffset);
            reply->abort();
            return false;
        }
    }
    mainPiece = -1;
    for (std::size_t i = 0; i < pieces.size(); ++i)
        if (pieces[i].pos == replyOffset && !pieces[i].done())
            mainPiece = int(i);
    if (mainPiece < 0) {
        startOver();
        return false;
    }
    pieces[std::size_t(mainPiece)].connection = 0;
    segmented = true;
    pieceRequest = reply->request();
    if (validator.empty())
        noteValidator(); // the first answer names the version every piece must be of
    const std::size_t places = std::size_t(std::max(1, connections));
    fetchers.resize(places);
    pieceManagers.resize(places);
    writtenAtStart = pieces::written(pieces, piecesTotal);
    savePieces();
    pieceTimer.setInterval(saveEveryMs);
    connect(&pieceTimer, &QTimer::timeout, this, &Downloader::onPieceTimer, Qt::UniqueConnection);
    pieceTimer.start();
    // A fresh file is split only if its first connection is slow: one already this fast is
    // limited by the disk and the digest, which more connections only share.
    if (writtenAtStart == 0 && fetchers.size() > 1) {
        QTimer::singleShot(probeMs, this, [this] { decideSplit(); });
        return true;
    }
    fillConnections();
    return true;
}

void Downloader::decideSplit()
{
    if (outcomeFinal || !segmented || mainPiece < 0 || pieces.size() < 2)
        return;
    const Piece& first = pieces[std::size_t(mainPiece)];
    if (first.pos - first.start < fastEnough) {
        fillConnections();
        return;
    }
    // The reply asked for the file to its end: it goes on alone, as a file of one connection.
    const std::int64_t pos = first.pos;
    settleHash();
    forgetPieces();
    file.resize(pos);
    file.seek(pos);
    fetchers.clear();
    if (!readBuffer)
        readBuffer.reset(new char[readChunk]);
    QMetaObject::invokeMethod(this, &Downloader::onReadyRead, Qt::QueuedConnection);
}

bool Downloader::readPiece(QNetworkReply& from, Piece& part, char* buffer)
{
    while (part.left() > 0) {
        const qint64 want = readBudget(std::min({qint64(readChunk), from.bytesAvailable(), qint64(part.left())}));
        const qint64 got = want > 0 ? from.read(buffer, want) : 0;
        if (want > got)
            ownLimit.giveBack(want - got), RateLimit::overall().giveBack(want - got);
        if (got <= 0)
            break;
        ssize_t put = 0;
        do
            put = ::pwrite(file.handle(), buffer, std::size_t(got), off_t(part.pos));
        while (put < 0 && errno == EINTR);
        if (put != got) {
            failPieces("Could not write to destination file.", Code::CannotWrite);
            return false;
        }
        // Bytes that continue the digest go into it from here, as on one connection: a thread
        // reading them back costs more than it saves here. Once one reads back, it does all.
        if (!hasher && hashUsable && !fileHash.empty() && part.pos == hashedBytes) {
            runningHash.update(buffer, std::size_t(got));
            hashedBytes += got;
        }
        part.pos += got;
    }
    pieceWritten();
    return true;
}

int Downloader::paceMs(QNetworkReply& from) const
{
    const qint64 next = std::min<qint64>(qint64(readChunk), from.bytesAvailable());
    return int(std::min<std::int64_t>(1000, std::max(ownLimit.waitMs(next), RateLimit::overall().waitMs(next))));
}

NetworkCause Downloader::cutCause(QNetworkReply& from)
{
    const QNetworkReply::NetworkError error = from.error();
    return error == QNetworkReply::NoError || error == QNetworkReply::RemoteHostClosedError ? NetworkCause::Reset
                                                                                            : NetworkCause::Other;
}

void Downloader::readMainPiece()
{
    Piece& part = pieces[std::size_t(mainPiece)];
    if (!readBuffer)
        readBuffer.reset(new char[readChunk]);
    if (!readPiece(*reply, part, readBuffer.get()))
        return;
    if (part.left() <= 0)
        return endMainPiece(true);
    if (reply->bytesAvailable() > 0)
        paceTimer.start(paceMs(*reply));
    else if (reply->isFinished())
        return endMainPiece(false, Code::CutShort, cutCause(*reply));
    armTimer();
}

void Downloader::endMainPiece(bool ok, Code code, NetworkCause cause, int status)
{
    requestTimer.stop();
    paceTimer.stop();
    // The reply stays for its headers (the file's name); it reads no more.
    reply->disconnect(this);
    if (!reply->isFinished())
        reply->abort();
    const int piece = mainPiece;
    mainPiece = -1;
    pieceEnded(0, piece, ok, code, cause, status);
}

void Downloader::retire(std::size_t slot)
{
    if (slot >= fetchers.size() || !fetchers[slot])
        return;
    retired.push_back(std::move(fetchers[slot]));
    QTimer::singleShot(0, this, [this] { retired.clear(); });
}

void Downloader::pieceEnded(int connection, int piece, bool ok, Code code, NetworkCause cause, int status)
{
    Piece& part = pieces[std::size_t(piece)];
    part.connection = Piece::free;
    retire(std::size_t(connection));
    if (!ok && ++part.tries > pieceTries) {
        details.cause.network = cause;
        details.cause.httpStatus = status;
        return failPieces(failureText(code), code);
    }
    if (!ok) {
        // Tried again by a free connection after a pause that grows with its tries.
        part.connection = Piece::resting;
        QTimer::singleShot(500 * part.tries, this, [this, piece] {
            if (!outcomeFinal && segmented && pieces.size() > std::size_t(piece) &&
                pieces[std::size_t(piece)].connection == Piece::resting) {
                pieces[std::size_t(piece)].connection = Piece::free;
                fillConnections();
            }
        });
    }
    fillConnections();
    if (pieces::written(pieces, piecesTotal) == piecesTotal)
        finishPieces();
}

void Downloader::fillConnections()
{
    if (outcomeFinal)
        return;
    for (std::size_t slot = 0; slot < fetchers.size(); ++slot) {
        if (fetchers[slot] || (slot == 0 && mainPiece >= 0))
            continue;
        const int piece = pieces::take(pieces);
        if (piece < 0)
            return;
        // One manager opens at most six connections to a server, each on the manager's one
        // thread: six connections share one, so that few threads contend for the cores.
        std::unique_ptr<QNetworkAccessManager>& manager = pieceManagers[slot / 6];
        if (!manager) {
            manager = std::make_unique<QNetworkAccessManager>();
            manager->setProxy(networkManager->proxy());
        }
        pieces[std::size_t(piece)].connection = int(slot);
        fetchers[slot] = std::make_unique<PieceFetcher>(*this, int(slot), piece, *manager, pieceRequest);
    }
}

void Downloader::pieceWritten()
{
    advanceHash();
}

void Downloader::advanceHash()
{
    if (fileHash.empty() || !hashUsable)
        return;
    if (!hasher) {
        // All that is whole was hashed as it came: nothing to read back yet.
        if (pieces::frontier(pieces, hashedBytes) <= hashedBytes)
            return;
        hasher = std::make_unique<PrefixHasher>(file.handle(), runningHash, hashedBytes);
    }
    hasher->advanceTo(pieces::frontier(pieces, hasher->target()));
}

void Downloader::settleHash()
{
    if (!hasher)
        return;
    const std::int64_t hashed = hasher->finish();
    hasher.reset();
    hashUsable = hashUsable && hashed >= 0;
    if (hashed >= 0)
        hashedBytes = hashed;
}

void Downloader::savePieces()
{
    const std::string text = pieces.empty() ? std::string() : pieces::toText(pieces);
    // A stalled transfer changes nothing: no sync, no store write.
    if (text == savedPieces)
        return;
    // What the record says is written must be on the disk before the record says it.
    if (!text.empty() && file.isOpen())
        ::fdatasync(file.handle());
    owner->rememberPieces(requestMessage->getSessionId(), text);
    savedPieces = text;
}

void Downloader::onPieceTimer()
{
    savePieces();
    const qint32 now = static_cast<qint32>(elapsedTime.elapsed());
    if (statusInterval == 0 || static_cast<quint32>(now - lastReportElapsed) < statusInterval)
        return;
    lastReportElapsed = now;
    const std::int64_t written = pieces::written(pieces, piecesTotal);
    postProgress(std::uint64_t(written), std::uint64_t(piecesTotal),
                 std::uint64_t(std::max<std::int64_t>(0, written - writtenAtStart) * 1000 / std::max(1, now)), 0);
}

void Downloader::dropConnections()
{
    for (std::size_t slot = 0; slot < fetchers.size(); ++slot)
        retire(slot);
    if (mainPiece >= 0 && reply != nullptr) {
        reply->disconnect(this);
        reply->abort();
    }
    mainPiece = -1;
    for (Piece& piece : pieces)
        piece.connection = Piece::free;
    pieceTimer.stop();
    requestTimer.stop();
    paceTimer.stop();
}

void Downloader::finishPieces()
{
    if (outcomeFinal)
        return;
    outcomeFinal = true;
    dropConnections();
    advanceHash();
    settleHash();
    setOutcome(Completed, "Download Complete", Code::Ok);
    file.close();
    readServerFilename();
    if (!verifyFileHash()) {
        setOutcome(Failed, "Digest verification failed", Code::DigestMismatch);
        QFile::remove(temporalFilename);
    }
    eventLoop->exit(0);
}

void Downloader::failPieces(const std::string& text, Code code)
{
    if (outcomeFinal)
        return;
    outcomeFinal = true;
    dropConnections();
    hasher.reset();
    savePieces(); // a resume continues every piece from what is on disk
    details.written = pieces::written(pieces, piecesTotal);
    setOutcome(Failed, text, code);
    file.close();
    eventLoop->exit(0);
}

void Downloader::stopPieces(DownloadAction requested)
{
    if (outcomeFinal)
        return;
    outcomeFinal = true;
    dropConnections();
    hasher.reset();
    savePieces();
    details.written = pieces::written(pieces, piecesTotal);
    if (requested == ActionPause)
        setOutcome(Paused, "Download paused.", Code::Ok);
    else
        setOutcome(Canceled, "Download canceled by user.", Code::Canceled);
    file.close();
    eventLoop->exit(0);
}

void Downloader::startOver()
{
    dropConnections();
    hasher.reset();
    QNetworkRequest next = segmented ? pieceRequest : reply->request();
    forgetPieces();
    connections = 1; // a server whose ranges disagree is asked for the whole file once
    file.resize(0);
    file.seek(0);
    restartHash();
    rangeStart = -1;
    replyOffset = 0;
    next.setRawHeader("Range", QByteArray());
    next.setRawHeader("If-Range", QByteArray());
    QUrl target = next.url();
    target.setUserInfo(QString());
    boost::lock_guard<boost::mutex> lock(mutex);
    sendRequest(target.toString().toStdString(), next);
    armTimer();
}

void Downloader::forgetPieces()
{
    const bool had = !pieces.empty();
    pieceTimer.stop();
    pieces.clear();
    piecesTotal = -1;
    segmented = false;
    mainPiece = -1;
    if (had)
        savePieces();
}
