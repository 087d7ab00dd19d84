#include "TestWatchdog.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

TestWatchdog::TestWatchdog(int timeoutSeconds) : timeoutSeconds_(timeoutSeconds), thread_([this] { watch(); }) {}

TestWatchdog::~TestWatchdog()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

int TestWatchdog::timeoutFromEnvironment()
{
    const char* value = std::getenv("HAUL_TEST_TIMEOUT");
    const int seconds = value != nullptr ? std::atoi(value) : 0;
    return seconds > 0 ? seconds : 120;
}

void TestWatchdog::OnTestStart(const testing::TestInfo& info)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = std::string(info.test_suite_name()) + "." + info.name();
        ++generation_;
    }
    changed_.notify_all();
}

void TestWatchdog::OnTestEnd(const testing::TestInfo&)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_.clear();
        ++generation_;
    }
    changed_.notify_all();
}

void TestWatchdog::watch()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (current_.empty()) {
            changed_.wait(lock);
            continue;
        }
        const unsigned long watched = generation_;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds_);
        const bool moved = changed_.wait_until(lock, deadline, [&] { return stopping_ || generation_ != watched; });
        if (!moved) {
            std::fprintf(stderr, "\nWATCHDOG: test %s still running after %d s (HAUL_TEST_TIMEOUT); aborting\n",
                         current_.c_str(), timeoutSeconds_);
            std::fflush(stderr);
            std::abort();
        }
    }
}
