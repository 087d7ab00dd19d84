#pragma once

#include "Outcome.h"

#include <QNetworkRequest>
#include <QObject>
#include <QTimer>
#include <memory>

class Downloader;
class QNetworkAccessManager;
class QNetworkReply;

// One connection of a transfer cut into pieces: asks for the rest of its piece with a Range
// (and If-Range), writes what comes at its offset in the transfer's file, and stops at the
// piece's end, which may move nearer while it runs (another connection took the upper half).
// Lives on the transfer's thread; tells the transfer when it ends.
class PieceFetcher : public QObject
{
    Q_OBJECT

public:
    PieceFetcher(Downloader& transfer, int connection, int piece, QNetworkAccessManager& manager,
                 QNetworkRequest request);
    ~PieceFetcher() override;

    const int connection;
    const int piece;

private:
    void onReadyRead();
    void onFinished();
    // False once the answer is no part of this piece; the transfer has been told.
    bool answerFits();
    void end(bool ok, Code code, NetworkCause cause);

    Downloader& transfer;
    QNetworkReply* reply = nullptr;
    QTimer pace;
    QTimer stall;
    bool checked = false;
    bool ended = false;
    std::unique_ptr<char[]> buffer;
};
