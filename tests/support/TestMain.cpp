#include "TestWatchdog.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Qt networking on worker threads needs the application object to exist on the main thread.
    QCoreApplication app(argc, argv);
    TestWatchdog watchdog(TestWatchdog::timeoutFromEnvironment());
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    listeners.Append(&watchdog);
    const int result = RUN_ALL_TESTS();
    // Taken back so GoogleTest does not delete an object it does not own.
    listeners.Release(&watchdog);
    return result;
}
