#include "PieceFetcher.h"

#include "Downloader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

PieceFetcher::PieceFetcher(Downloader& transfer_, int connection_, int piece_, QNetworkAccessManager& manager,
                           QNetworkRequest request)
    : connection(connection_), piece(piece_), transfer(transfer_), buffer(new char[Downloader::readChunk])
{
    const Piece& part = transfer.pieces[std::size_t(piece)];
    request.setRawHeader("Range", "bytes=" + QByteArray::number(qint64(part.pos)) + "-" +
                                      QByteArray::number(qint64(part.end - 1)));
    // Every piece is of the file the first answer named; another version answers 200.
    if (!transfer.validator.empty())
        request.setRawHeader("If-Range", QByteArray::fromStdString(transfer.validator));
    reply = manager.get(request);
    // Two reads' worth: memory stays bounded per connection.
    reply->setReadBufferSize(qint64(Downloader::readChunk) * 2);
    connect(reply, &QNetworkReply::readyRead, this, &PieceFetcher::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &PieceFetcher::onFinished);
    QNetworkReply* answer = reply;
    connect(reply, &QNetworkReply::sslErrors, this,
            [this, answer](const QList<QSslError>& errors) { transfer.onSslErrors(answer, errors); });
    pace.setSingleShot(true);
    connect(&pace, &QTimer::timeout, this, &PieceFetcher::onReadyRead);
    stall.setSingleShot(true);
    connect(&stall, &QTimer::timeout, this, [this] { end(false, Code::TimedOut, NetworkCause::TimedOut); });
    if (transfer.requestTimeout > 0)
        stall.start(transfer.requestTimeout);
}

PieceFetcher::~PieceFetcher()
{
    if (reply != nullptr) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

bool PieceFetcher::answerFits()
{
    if (checked)
        return true;
    checked = true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 200) {
        // The file changed since the first answer (If-Range), or Range is no longer honoured.
        ended = true;
        transfer.startOver();
        return false;
    }
    if (status == 0) {
        end(false, Code::Failed, NetworkCause::Other); // no answer: refused, reset, unreachable
        return false;
    }
    if (status != 206) {
        end(false, status >= 500 || status == 429 ? Code::Failed : Code::NotAFile, NetworkCause::None);
        return false;
    }
    const Piece& part = transfer.pieces[std::size_t(piece)];
    const ContentRange range = parseContentRange(reply->rawHeader("Content-Range"));
    if (range.first != part.pos || range.total != transfer.piecesTotal || range.last < range.first ||
        range.last >= range.total) {
        // Bytes of another place written here would corrupt the file: none is written.
        ended = true;
        transfer.failPieces("Download failed: Connection closed prematurely.", Code::CutShort);
        return false;
    }
    return true;
}

void PieceFetcher::onReadyRead()
{
    if (ended || !answerFits())
        return;
    if (transfer.requestTimeout > 0 && !reply->isFinished())
        stall.start(transfer.requestTimeout);
    Piece& part = transfer.pieces[std::size_t(piece)];
    if (!transfer.readPiece(*reply, part, buffer.get())) {
        ended = true; // the transfer has failed
        return;
    }
    if (part.left() <= 0)
        return end(true, Code::Ok, NetworkCause::None);
    if (reply->bytesAvailable() > 0) {
        pace.start(transfer.paceMs(*reply)); // under a rate limit: the rest waits for its share of time
        return;
    }
    if (!reply->isFinished())
        return;
    // Ended before the piece did: cut, reset or refused; the piece goes to the next free connection.
    end(false, reply->error() == QNetworkReply::AuthenticationRequiredError ? Code::CredentialsRefused : Code::CutShort,
        Downloader::cutCause(*reply));
}

void PieceFetcher::onFinished()
{
    onReadyRead();
}

void PieceFetcher::end(bool ok, Code code, NetworkCause cause)
{
    if (ended)
        return;
    ended = true;
    stall.stop();
    pace.stop();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // The transfer destroys this object: nothing of it is touched after the call.
    transfer.pieceEnded(connection, piece, ok, code, cause, status);
}
