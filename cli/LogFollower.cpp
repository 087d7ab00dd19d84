#include "LogFollower.h"

#include "ProgressView.h"

#include <QFile>
#include <QThread>

LogFollower::LogFollower(std::string path, ProgressView& view) : path(std::move(path)), view(view)
{
    QFile file(QString::fromStdString(this->path));
    offset = file.exists() ? file.size() : 0;
    connect(&timer, &QTimer::timeout, this, &LogFollower::readNew);
    timer.start(200);
}

LogFollower::~LogFollower()
{
    // The owner writes its lines through a pipe of its own, so the last may trail the event
    // that ended this command.
    QThread::msleep(100);
    readNew();
    if (!pending.empty())
        view.message(pending);
}

void LogFollower::readNew()
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return;
    // A new file (the owner was replaced and the log removed) starts from its beginning.
    if (file.size() < offset)
        offset = 0;
    if (!file.seek(offset))
        return;
    const QByteArray chunk = file.readAll();
    offset += chunk.size();
    pending += chunk.toStdString();
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        view.message(pending.substr(0, end));
        pending.erase(0, end + 1);
    }
}
