#pragma once

#include "HttpConnectionConfig.h"
#include "RecordedRequest.h"
#include "Route.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QTcpSocket;
class ServerState;

// One accepted connection: reads a request, answers it as its route says, then closes.
// Lives on the server thread, is a child of HttpListener and deletes itself once the peer is gone.
class HttpConnection : public QObject
{
    Q_OBJECT
public:
    HttpConnection(qintptr descriptor, const HttpConnectionConfig& config, ServerState& state, QObject* parent);

    void abortNow();

private:
    void onReadyRead();
    void onGone();
    void respond(const RecordedRequest& request);
    void sendSimple(int status, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers);
    void pump();
    void finish();
    void stall(int ms);
    void resume();
    qint64 pending() const;
    QString absoluteLocation(const QString& target) const;

    QTcpSocket* socket_ = nullptr;
    HttpConnectionConfig config_;
    ServerState& state_;
    QByteArray buffer_;
    bool responding_ = false;
    bool finishing_ = false;
    bool gone_ = false;

    Route route_;
    qint64 sourceOffset_ = 0;
    qint64 sendLimit_ = 0;
    qint64 sent_ = 0;
    bool midStallDone_ = false;
    bool stalled_ = false;
    bool waitingForRate_ = false;

    QElapsedTimer rateClock_;
    qint64 rateBaseSent_ = 0;
    QTimer timer_;
};
