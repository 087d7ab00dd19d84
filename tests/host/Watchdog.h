#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

// Aborts the test process when it runs longer than a limit, so a hang fails instead of
// blocking CI. Lives on its own thread; owned by main().
class Watchdog
{
public:
    explicit Watchdog(int seconds);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    // Guards finished.
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread thread;
};
