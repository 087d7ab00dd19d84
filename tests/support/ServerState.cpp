#include "ServerState.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

void ServerState::setRoute(const QString& path, const Route& route)
{
    QMutexLocker lock(&mutex_);
    routes_.insert(path, route);
}

bool ServerState::findRoute(const QString& key, Route* out) const
{
    QMutexLocker lock(&mutex_);
    auto it = routes_.constFind(key);
    if (it == routes_.constEnd()) {
        return false;
    }
    *out = it.value();
    return true;
}

void ServerState::record(const RecordedRequest& request)
{
    Observer observer;
    {
        QMutexLocker lock(&mutex_);
        requests_.append(request);
        observer = observer_;
    }
    requestRecorded_.wakeAll();
    // Called unlocked so an observer may itself query the state.
    if (observer) {
        observer(request);
    }
}

QList<RecordedRequest> ServerState::requests() const
{
    QMutexLocker lock(&mutex_);
    return requests_;
}

void ServerState::clearRequests()
{
    QMutexLocker lock(&mutex_);
    requests_.clear();
}

int ServerState::waitForRequests(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&mutex_);
    while (requests_.size() < count) {
        if (!requestRecorded_.wait(&mutex_, deadline)) {
            break;
        }
    }
    return requests_.size();
}

void ServerState::setObserver(const Observer& observer)
{
    QMutexLocker lock(&mutex_);
    observer_ = observer;
}
