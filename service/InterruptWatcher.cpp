#include "InterruptWatcher.h"

#include <QMetaObject>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace {

sigset_t watchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

void InterruptWatcher::block()
{
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

InterruptWatcher::InterruptWatcher()
{
    thread = std::thread([this] { watch(); });
}

InterruptWatcher::~InterruptWatcher()
{
    // The watcher thread leaves on a SIGINT aimed at it alone.
    received = -1000;
    pthread_kill(thread.native_handle(), SIGINT);
    thread.join();
}

void InterruptWatcher::watch()
{
    const sigset_t set = watchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            continue;
        const int count = ++received;
        if (count <= 0)
            return;
        if (count == 1 && armed) {
            QMetaObject::invokeMethod(
                this, [this, signal] { emit interrupted(signal); }, Qt::QueuedConnection);
            continue;
        }
        static const char message[] = "\nhaul: interrupted\n";
        (void)!::write(STDERR_FILENO, message, sizeof message - 1);
        // Records and partial files are already durable, so a later resume works all the same.
        ::_exit(128 + signal);
    }
}
