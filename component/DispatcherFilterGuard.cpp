#include "DispatcherFilterGuard.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>

namespace {

// Lets every native message through to its normal processing.
class PassThroughFilter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray&, void*, long*) override { return false; }
};

PassThroughFilter& filter()
{
    static PassThroughFilter instance;
    return instance;
}

// Qt keeps a list of filters per dispatcher; remember whether ours is in it on this thread.
thread_local bool installed = false;

} // namespace

DispatcherFilterGuard::DispatcherFilterGuard()
{
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
        dispatcher->installNativeEventFilter(&filter());
        installed = true;
    }
}

DispatcherFilterGuard::~DispatcherFilterGuard()
{
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
        dispatcher->removeNativeEventFilter(&filter());
        installed = false;
    }
}

bool DispatcherFilterGuard::isInstalledHere() { return installed; }
