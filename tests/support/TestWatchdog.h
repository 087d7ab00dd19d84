#pragma once

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>

// Ends the process when one test runs longer than the limit, so a hang fails CI instead of
// blocking it. Registered once with GoogleTest by TestMain; watches from a thread of its own.
class TestWatchdog : public testing::EmptyTestEventListener
{
public:
    explicit TestWatchdog(int timeoutSeconds);
    ~TestWatchdog() override;

    // HAUL_TEST_TIMEOUT in seconds, 120 when unset or invalid.
    static int timeoutFromEnvironment();

    void OnTestStart(const testing::TestInfo& info) override;
    void OnTestEnd(const testing::TestInfo& info) override;

private:
    void watch();

    const int timeoutSeconds_;
    std::mutex mutex_; // guards current_, generation_ and stopping_
    std::condition_variable changed_;
    std::string current_;
    unsigned long generation_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};
