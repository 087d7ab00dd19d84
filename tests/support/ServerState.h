#pragma once

#include "RecordedRequest.h"
#include "Route.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QWaitCondition>
#include <functional>

// Routes and the request log shared between the test thread (which scripts and inspects) and the
// server thread (which answers). Owned by TestHttpServer; every member is thread-safe.
class ServerState
{
public:
    using Observer = std::function<void(const RecordedRequest&)>;

    void setRoute(const QString& path, const Route& route);
    bool findRoute(const QString& key, Route* out) const;

    void record(const RecordedRequest& request);
    QList<RecordedRequest> requests() const;
    void clearRequests();
    int waitForRequests(int count, int timeoutMs);

    void setObserver(const Observer& observer);

private:
    mutable QMutex mutex_; // guards routes_, requests_ and observer_
    QWaitCondition requestRecorded_;
    QHash<QString, Route> routes_;
    QList<RecordedRequest> requests_;
    Observer observer_;
};
