#pragma once

#include <QObject>
#include <atomic>
#include <thread>

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the main thread. They are blocked in
// every thread (block() must run before any thread starts) and taken by sigwait on a thread of
// its own, so no code runs in a signal handler. The first one emits interrupted() when a
// receiver is armed, the next one (or the first, unarmed) ends the process at once with
// status 128 + its number. One instance, owned by main, living on the main thread.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    // Blocks the three for this thread and every thread started after it.
    static void block();

    InterruptWatcher();
    ~InterruptWatcher() override;

    // While armed, the first signal is reported instead of ending the process.
    void setArmed(bool armed) { this->armed = armed; }

signals:
    void interrupted(int signal);

private:
    void watch();

    std::atomic<bool> armed{false};
    std::atomic<int> received{0};
    std::thread thread;
};
