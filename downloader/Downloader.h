#pragma once

#include "ConfigurationManager.h"
#include "IDownloader.h"
#include "LocalMessage.h"
#include "Logger.h"
#include "Pieces.h"
#include "RateLimit.h"
#include "Sha1.h"
#include "TransferOptions.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

class Haulwright;
class PieceFetcher;
class PrefixHasher;

struct ContentRange
{
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
};
// "bytes A-B/T" or "bytes */T"; -1 for what is absent.
ContentRange parseContentRange(const QByteArray& value);

// One transfer from a URL into a partial file, redirects included.
// Thread: created on the delivery thread that then runs start()/resume() on it;
// all Qt objects and slots live there. pause()/abort() come from other threads.
// Owner: the component; destroyed by its completion handling.
class Downloader : public QObject, public IDownloader
{
    Q_OBJECT

public:
    static constexpr std::size_t readChunk = 256 * 1024;
    typedef std::tuple<DownloadState, std::string, Code> ReplyOutcome;

    Downloader(Haulwright* owner, const QString& temporalFilename, boost::shared_ptr<LocalMessage> requestMessage);
    ~Downloader() override;

    void start() override;
    void resume() override;
    void abort() override;
    void pause() override;
    DownloadState getState() override;
    std::int32_t getResultCode() override;
    std::string getStatusMessage() override;
    boost::shared_ptr<LocalMessage> getRequestMessage() override;
    std::string getServerFilename() override;
    std::string getTemporalFilename() override;
    TransferDetails getDetails() override { return details; }
    // From any thread: this transfer's own limit in bytes a second from its next read on (0: none).
    void setMaxRate(std::int64_t bytesPerSecond) { ownLimit.setRate(bytesPerSecond); }

    // For tests: the configured intervals.
    quint32 getStatusInterval() const { return statusInterval; }
    qint32 getRequestTimeout() const { return requestTimeout; }
    DownloadAction getAction() const { return action; }
    // ETag or Last-Modified of the file a resume continues; sent as If-Range.
    void setValidator(const std::string& value) { validator = value; }
    // The pieces a resume continues, as the record keeps them; empty: one connection's file.
    void setPieces(const std::string& text);

public slots:
    void onFinishSlot();
    void onReadyRead();
    void onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onRequestTimeout();

private:
    // Called with mutex held; the caller has set the request's TLS configuration.
    void sendRequest(const std::string& url, QNetworkRequest& request);
    void armTimer();
    // The data folder's cert/*.crt as the authorities of an https or ftps request.
    void applySslConfiguration(QNetworkRequest& request, const std::string& url);
    bool ignoresSslErrors();
    void chooseManager();
    QNetworkProxy buildProxy(const std::string& url);
    ReplyOutcome evaluateReplyError(QNetworkReply* reply, DownloadAction action, bool useAuthData,
                                    std::int32_t httpStatus);
    void readServerFilename();
    bool verifyFileHash();
    bool isRedirect(QNetworkReply* reply);
    bool acceptAnswer();
    bool sameOrigin(const QUrl& address) const;
    void requestStop(DownloadAction requested);
    void setOutcome(DownloadState newState, const std::string& text, Code code);
    // A 416 to a resume: true when the file was started over with a new request.
    bool restartStale();
    void deletePartialFile();
    // Status and Retry-After of the last answer, once the transfer is over.
    void noteLastAnswer();
    void log(int line, const std::string& text);

    Haulwright* owner;
    boost::shared_ptr<LocalMessage> requestMessage;
    std::string destinationFolder;
    std::string url;
    DownloadAction action;
    bool useAuthData;
    std::string userName;
    std::string password;
    QEventLoop* eventLoop;
    std::string serverFilename;
    QFile file;
    // The thread's shared manager, or ownManager for a transfer that must not share one.
    QNetworkAccessManager* networkManager = nullptr;
    std::unique_ptr<QNetworkAccessManager> ownManager;
    QNetworkReply* reply;
    DownloadState state;
    std::string statusMessage;
    std::int32_t resultCode;
    Logger* logger;
    ConfigurationManager* config;
    QElapsedTimer elapsedTime;
    QTimer requestTimer;
    // Paced reading under a rate limit: the rest of the buffer waits for its share of time, and
    // a finished reply for its last bytes to be read.
    QTimer paceTimer;
    RateLimit ownLimit;
    bool finishDeferred = false;
    qint64 readBudget(qint64 want);
    // The lower of the two limits now (0: none); the reply's buffer holds a quarter second of it.
    std::int64_t effectiveRate() const;
    void fitReadBuffer();
    qint64 bufferSize = -1; // the reply's buffer as last fitted (to the limits and the transfers alive)
    quint32 statusInterval;
    qint32 requestTimeout;
    quint32 redirectCount;
    QString temporalFilename;
    std::string fileHash;
    boost::mutex mutex; // serialises start's setup against pause/abort; guards state, reply, action writes

    qint32 lastReportElapsed;
    bool timerConnected;
    // Set by a failure that must stand whatever the end of the reply says.
    bool outcomeFinal;
    // Where a resumed request asked the server to start (-1: not a resume), and
    // whether the current reply's answer was checked and its body belongs in the file.
    qint64 rangeStart;
    qint64 replyOffset = 0; // the file's size where the current reply's body begins
    bool rangeChecked;
    bool discardBody;
    // Size the file must have at the end of a 206 answer (-1: no 206).
    qint64 expectedTotal;
    std::string validator;
    // A Pause or Abort that came before the first request (ActionStart: none).
    DownloadAction earlyStop;
    bool usedFtp;
    // Digest of the partial file as written, so completion never reads it again.
    Sha1 runningHash;
    qint64 hashedBytes;
    bool hashUsable;
    // The digest from the file's start again.
    void restartHash();
    // Not zeroed: every byte read is written by the reply first.
    std::unique_ptr<char[]> readBuffer;
    TransferDetails details;
    TransferOptions options;
    // A 416 already had the file started over: a second one fails.
    bool restartedStale;

    // Several connections for one file. The first answer (a 206 with a size) cuts it into
    // pieces; the reply goes on as the connection of the first, PieceFetchers fetch the others
    // into the same file at their offsets. All on the transfer's thread.
    friend class PieceFetcher;
    void noteValidator();
    bool wantsPieces() const;
    // After the first 206; false when the transfer ended or started over instead.
    bool beginPieces(std::int64_t total);
    // The file is one connection's again (its record says so).
    void forgetPieces();
    bool piecesDecided = false;
    void readMainPiece();
    // What the limits allow of from, written at part's place; false once the file refused it
    // (the transfer has failed then).
    bool readPiece(QNetworkReply& from, Piece& part, char* buffer);
    // Milliseconds until from's next bytes may be read under the limits.
    int paceMs(QNetworkReply& from) const;
    static NetworkCause cutCause(QNetworkReply& from);
    // The reply stops being a piece's connection; ok: its piece is done.
    void endMainPiece(bool ok, Code code = Code::CutShort, NetworkCause cause = NetworkCause::Reset, int status = 0);
    // A connection (0: the reply's) left its piece; ok: the piece is done. A piece that failed
    // is tried again by a free connection, a few times.
    void pieceEnded(int connection, int piece, bool ok, Code code, NetworkCause cause, int status);
    void fillConnections();
    void decideSplit();
    void pieceWritten();
    void advanceHash();
    // Waits for the digest of the whole file; hashedBytes says how far it reached.
    void settleHash();
    std::unique_ptr<PrefixHasher> hasher;
    void savePieces();
    void onPieceTimer();
    void postProgress(std::uint64_t current, std::uint64_t total, std::uint64_t rate, qint64 offset);
    // Ends the transfer from its pieces: done, failed with code (pieces kept), or stopped by a client.
    void finishPieces();
    void failPieces(const std::string& text, Code code);
    void stopPieces(DownloadAction requested);
    // A piece answered for another version of the file: it starts over on one connection.
    void startOver();
    void dropConnections();
    int connections = 1;
    bool segmented = false;
    std::vector<Piece> pieces;
    std::int64_t piecesTotal = -1;
    int mainPiece = -1; // the piece the reply writes; -1: none
    // Managers before fetchers: a fetcher's reply dies with it, then the manager.
    std::vector<std::unique_ptr<QNetworkAccessManager>> pieceManagers;
    std::vector<std::unique_ptr<PieceFetcher>> fetchers; // slot i: connection i (0 once the reply is done)
    // Ended in one of their own slots: destroyed from the event loop, or when the transfer ends.
    std::vector<std::unique_ptr<PieceFetcher>> retired;
    void retire(std::size_t slot);
    QNetworkRequest pieceRequest; // the first answer's request: what every piece asks again
    QTimer pieceTimer;            // makes the pieces durable, and tells the progress of the whole file
    std::string savedPieces;      // as the record has them
    std::int64_t writtenAtStart = 0;
};

#define DOWNLOADER_LOG(text) log(__LINE__, (text))
