// Faults of the local disk and of the request store while transfers run.
#include "FaultFixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <csignal>
#include <sys/resource.h>

namespace {

// Lowers the file size limit of the whole process (writes past it fail with EFBIG instead of
// raising SIGXFSZ); the old limit and signal action come back when it goes.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() { restore(); }
    void restore()
    {
        if (!active)
            return;
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        active = false;
    }
    bool active = false;

private:
    rlimit saved{};
    void (*previous)(int) = nullptr;
};

bool chattr(const char* flag, const QString& path)
{
    return QProcess::execute("chattr", {flag, path}) == 0;
}

// Marks files immutable (even root's writes through open descriptors fail with EPERM), and
// clears the mark again when it goes, so the sandbox can be removed.
class Immutable
{
public:
    bool add(const QString& path)
    {
        if (!chattr("+i", path))
            return false;
        paths << path;
        return true;
    }
    void release()
    {
        for (const QString& path : paths)
            chattr("-i", path);
        paths.clear();
    }
    ~Immutable() { release(); }

private:
    QStringList paths;
};

} // namespace

TEST_F(FaultTest, FullDiskFailsTheWriteAndAResumeAfterwardsFinishesTheFile)
{
    const qint64 size = 4 * 1024 * 1024;
    server.route("/full.bin", generated(size, 26));
    startComponent();

    FileSizeLimit limit(1024 * 1024);
    ASSERT_TRUE(limit.active);
    auto reply = download("full", url("/full.bin"), inFolder());
    limit.restore();
    EXPECT_TRUE(isReport(reply, "WasFailed", 258, "Could not write to destination file."));
    EXPECT_NE("", recordedPartial("full")) << "record lost";
    EXPECT_FALSE(QFile::exists(QString::fromStdString(inFolder() + "/full.bin")));

    reply = resume("full");
    EXPECT_TRUE(isReport(reply, "WasFinished", 0, inFolder() + "/full.bin"));
    EXPECT_EQ(body(size, 26), readAll(inFolder() + "/full.bin"));
    EXPECT_EQ("", recordedPartial("full"));
}

TEST_F(FaultTest, StoreTurningReadOnlyWhileRunningIsLoggedAndTransfersStillFinish)
{
    {
        const QString probe = sandbox.path() + "/probe";
        QFile(probe).open(QIODevice::WriteOnly);
        if (!chattr("+i", probe))
            GTEST_SKIP() << "chattr +i is not available here (filesystem or CAP_LINUX_IMMUTABLE)";
        chattr("-i", probe);
    }
    const qint64 size = 300000;
    Route slow = generated(size, 27);
    slow.stallAfterBytes = 1000;
    slow.stallMs = 1500;
    server.route("/slow.bin", slow);
    server.route("/other.bin", generated(5000, 28));
    startComponent();

    startRequest("ro", url("/slow.bin"), inFolder());
    ASSERT_TRUE(waitRunning("ro"));
    ASSERT_NE("", recordedPartial("ro"));

    Immutable immutable;
    const QString store = QString::fromStdString(storeFile);
    // Not the -shm file: SQLite writes it through a shared mapping, where an immutable file means SIGBUS.
    for (const QString& file : {store, store + "-wal"}) {
        if (QFile::exists(file)) {
            ASSERT_TRUE(immutable.add(file)) << file.toStdString();
        }
    }
    ASSERT_TRUE(immutable.add(QFileInfo(store).path()));
    clearLog();

    const auto running = awaitReply("ro", 30000);
    const auto fresh = download("ro-new", url("/other.bin"), inFolder());
    immutable.release();

    EXPECT_TRUE(isReport(running, "WasFinished", 0, inFolder() + "/slow.bin"));
    EXPECT_EQ(body(size, 27), readAll(inFolder() + "/slow.bin"));
    // A new download that could not be recorded would not survive a crash: it is refused.
    EXPECT_TRUE(isReport(fresh, "DownloaderError", 260, "Cannot store the download request"));
    const std::vector<std::string> log = logTexts();
    const auto logged = [&log](const std::string& prefix) {
        for (const std::string& line : log)
            if (line.compare(0, prefix.size(), prefix) == 0)
                return true;
        return false;
    };
    EXPECT_TRUE(logged("HAULWRIGHT: Schema remove/flush failed. Reason: ")) << testing::PrintToString(log);
    EXPECT_TRUE(logged("HAULWRIGHT: Schema insert/flush failed. Reason: ")) << testing::PrintToString(log);
    EXPECT_EQ("", recordedPartial("ro-new"));
    EXPECT_TRUE(partialFiles().isEmpty());
}
