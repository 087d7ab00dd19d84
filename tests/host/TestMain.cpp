#include "Watchdog.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // As in the host program: the application object exists before any service is used.
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    Watchdog watchdog(300);
    return RUN_ALL_TESTS();
}
