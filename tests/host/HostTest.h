#pragma once

#include "Configuration.h"
#include "Fixture.h"

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

// Runs body(0) to body(n - 1) on threads of their own and waits for all of them.
inline void inParallel(int n, const std::function<void(int)>& body)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back(body, i);
    for (auto& thread : threads)
        thread.join();
}
