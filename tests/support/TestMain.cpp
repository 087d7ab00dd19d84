#include <QCoreApplication>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

char current[512];

// Ends the process when one test runs longer than HAUL_TEST_TIMEOUT seconds (120 by default),
// so a hang fails CI instead of blocking it.
class Watchdog : public testing::EmptyTestEventListener
{
public:
    void OnTestStart(const testing::TestInfo& info) override
    {
        std::snprintf(current, sizeof current, "watchdog: %s.%s hung; ending the test program\n",
                      info.test_suite_name(), info.name());
        const char* limit = std::getenv("HAUL_TEST_TIMEOUT");
        alarm(limit && std::atoi(limit) > 0 ? unsigned(std::atoi(limit)) : 120);
    }
    void OnTestEnd(const testing::TestInfo&) override { alarm(0); }
};

void onAlarm(int)
{
    const ssize_t ignored = write(STDERR_FILENO, current, std::strlen(current));
    (void)ignored;
    _exit(3);
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Qt networking on worker threads needs the application object on the main thread.
    QCoreApplication app(argc, argv);
    std::signal(SIGALRM, onAlarm);
    testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return RUN_ALL_TESTS();
}
