#pragma once

#include "HttpConnection.h"

#include <QTcpServer>

class ServerState;

// Accepts connections for TestHttpServer and hands each to an HttpConnection (plain or TLS).
// Created by TestHttpServer, moved to its server thread and deleted there when that thread ends.
class HttpListener : public QTcpServer
{
    Q_OBJECT
public:
    HttpListener(ServerState& state, const HttpConnectionConfig& config);

    // Both run on the server thread.
    bool open();
    void shutdown();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    ServerState& state_;
    HttpConnectionConfig config_;
};
