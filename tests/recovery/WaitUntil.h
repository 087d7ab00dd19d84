#pragma once

#include <QElapsedTimer>
#include <QThread>

// Polls condition every few milliseconds; true as soon as it holds, false after timeoutMs.
template <class Condition> bool waitUntil(Condition condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (condition())
            return true;
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(5);
    }
}
