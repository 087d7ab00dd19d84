#include "Watchdog.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

Watchdog::Watchdog(int seconds)
    : thread([this, seconds] {
          std::unique_lock<std::mutex> lock(mutex);
          if (!done.wait_for(lock, std::chrono::seconds(seconds), [this] { return finished; })) {
              std::fprintf(stderr, "watchdog: tests still running after %d s, aborting\n", seconds);
              std::abort();
          }
      })
{
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    done.notify_all();
    thread.join();
}
