#pragma once

// Brackets one run of a transfer's event loop: while it lives, the current
// thread's event dispatcher has the plugin's pass-through native filter.
// Lives on the transfer's stack, on the transfer's thread.
class DispatcherFilterGuard
{
public:
    DispatcherFilterGuard();
    ~DispatcherFilterGuard();
    DispatcherFilterGuard(const DispatcherFilterGuard&) = delete;
    DispatcherFilterGuard& operator=(const DispatcherFilterGuard&) = delete;

    // Whether the filter is installed on the current thread's dispatcher.
    static bool isInstalledHere();
};
