#include "HttpListener.h"

#include "ServerState.h"

#include <QHostAddress>

HttpListener::HttpListener(ServerState& state, const HttpConnectionConfig& config) : state_(state), config_(config) {}

bool HttpListener::open()
{
    if (!listen(QHostAddress::LocalHost, 0)) {
        return false;
    }
    config_.baseUrl = QStringLiteral("%1://127.0.0.1:%2").arg(config_.tls ? "https" : "http").arg(serverPort());
    return true;
}

void HttpListener::shutdown()
{
    close();
    const auto connections = findChildren<HttpConnection*>(QString(), Qt::FindDirectChildrenOnly);
    for (HttpConnection* connection : connections) {
        connection->abortNow();
        delete connection;
    }
}

void HttpListener::incomingConnection(qintptr descriptor)
{
    new HttpConnection(descriptor, config_, state_, this);
}
