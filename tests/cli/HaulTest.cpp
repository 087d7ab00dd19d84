// haul as a user runs it, a child process against the scripted loopback server: saved files,
// failures, JSON lines, credentials, configuration, and downloads that outlive a process
// (Ctrl-C, an owner SIGKILLed) with the later runs that list, abort and resume them. Each
// command is a client of the owner it starts on demand in the sandbox's data directory.
#include "ByteFormat.h"
#include "Fixture.h"
#include "HaulwrightPersistedRequest.h"
#include "KeyValueStore.h"
#include "Pieces.h"
#include "ScriptServer.h"
#include "ServiceClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>

namespace {

// What a haul process left: exit status (-1 when it crashed, was killed or hung) and output.
struct Result
{
    int status;
    QByteArray out, err;
    // The status and a piece of standard output (of standard error: tells), with everything
    // shown when either is wrong.
    testing::AssertionResult shows(int wanted, const std::string& text, bool onError = false) const
    {
        if (status == wanted && (onError ? err : out).contains(text.c_str()))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "wanted " << wanted << " and \"" << text << "\", got " << status << ":\n"
                                           << (out + err).toStdString();
    }
    testing::AssertionResult tells(int wanted, const std::string& text) const { return shows(wanted, text, true); }
};

// The built haul as a child on the sandbox's data directory, one at a time.
class HaulTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        env.remove("HAUL_PASSWORD");
        env.insert("no_proxy", "*"); // the machine's proxy must not take the loopback requests
    }
    void TearDown() override { stopOwner(SIGTERM); }
    // The owner the commands started, by the pid in its lock file; 0 when none holds the lock.
    pid_t owner() const
    {
        const int fd = ::open(data("haul.lock").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return 0;
        const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
        ::close(fd);
        return held ? pid_t(readFile(data("haul.lock")).trimmed().toInt()) : 0;
    }
    // Ends the owner with signal and waits until its lock is free.
    void stopOwner(int signal)
    {
        if (const pid_t pid = owner())
            ::kill(pid, signal);
        EXPECT_TRUE(waitUntil([&] { return owner() == 0; }, 30000));
    }
    // Run from DATA/download, where a get saves unless told: where the owner's own requests save.
    void start(const QStringList& args)
    {
        ::mkdir(data("").c_str(), 0700);
        ::mkdir(data("download").c_str(), 0700);
        haul.setWorkingDirectory(runIn.empty() ? data("download").c_str() : runIn.c_str());
        haul.setProcessEnvironment(env);
        haul.start(HAUL_PROGRAM, QStringList{"--data-dir", data("").c_str()} + args);
        haul.waitForStarted();
    }
    Result finish()
    {
        if (!haul.waitForFinished(60000))
            haul.kill(), haul.waitForFinished();
        return {haul.exitStatus() == QProcess::NormalExit ? haul.exitCode() : -1, haul.readAllStandardOutput(),
                haul.readAllStandardError()};
    }
    Result run(const QStringList& args) { return start(args), finish(); }
    QString url(const QString& pathAndQuery) const { return server.url(pathAndQuery).c_str(); }
    std::string runIn; // the commands' working folder; empty: DATA/download
    std::string data(const std::string& name) const { return sandbox.file("data/" + name); }
    std::string partialOf(const QString& id, const std::string& folder) const
    {
        const QStringList found = QDir(folder.c_str()).entryList({id + "*.part"});
        return found.size() == 1 ? folder + "/" + found[0].toStdString() : std::string();
    }
    std::multiset<QByteArray> ranges() const
    {
        std::multiset<QByteArray> seen;
        for (const Request& request : server.requests())
            seen.insert(request.header("Range"));
        return seen;
    }

    // A throttled download stopped by Ctrl-C once bytes arrived; the bytes it kept.
    qint64 interruptedGet(const QString& id)
    {
        start({"get", url("/slow.bin?size=2000000&seed=11&rate=1000000"), "--id", id});
        EXPECT_TRUE(waitUntil([&] { return fileSize(partialOf(id, data("download"))) > 0; }));
        if (haul.state() == QProcess::Running)
            ::kill(pid_t(haul.processId()), SIGINT);
        const Result result = finish();
        const qint64 kept = fileSize(partialOf(id, data("download")));
        EXPECT_TRUE(result.shows(130, "paused: slow.bin (" + std::to_string(kept) + " bytes kept)"));
        EXPECT_TRUE(result.tells(130, "continue with: haul --data-dir " + data("") + " resume " + id.toStdString()));
        return kept;
    }

    Sandbox sandbox;
    ScriptServer server;
    QProcess haul;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

// Results alone on standard output, so $(haul get ...) captures them; progress on standard error.
TEST_F(HaulTest, SavesVerifiesAndReportsEveryResult)
{
    const QStringList one = {"--set", "Downloader/MaxDownloads=1", "get"};
    const QString digest = bodySha1(3000017, 3).c_str();
    EXPECT_TRUE(run(one + QStringList{url("/a.bin?size=3000017&seed=3"), "--sha1", digest})
                    .shows(0, "saved: " + data("download/a.bin")));
    EXPECT_EQ(body(3000017, 3), readFile(data("download/a.bin")));

    EXPECT_TRUE(run({"get", url("/bad.bin?size=3000017&seed=3"), "--sha1", QString(40, '0')})
                    .shows(1, "(code 274) [WasFailed, id "));
    EXPECT_FALSE(fileExists(data("download/bad.bin")));

    // One at a time: the last waits in the owner's queue while the one of unknown size runs.
    const std::string nested = sandbox.file("out/nested");
    const Result result = run({"get", "-d", nested.c_str(), url("/gone.bin?status=404&body=no"),
                               url("/s.log?size=600000&seed=5&nolen=1&rate=200000"), url("/b.bin?size=9&seed=5")});
    EXPECT_TRUE(result.shows(1, "saved: " + nested + "/b.bin"));
    EXPECT_TRUE(result.shows(1, "failed: gone.bin: HTTP 404 Not Found (code 260)"));
    EXPECT_EQ(body(9, 5), readFile(nested + "/b.bin"));
    for (const QByteArray& line : result.out.trimmed().split('\n'))
        EXPECT_TRUE(line.startsWith("saved: ") || line.startsWith("failed: ")) << line.toStdString();
    EXPECT_EQ(3, result.out.count('\n'));
    EXPECT_TRUE(result.tells(1, "b.bin  queued"));
    EXPECT_TRUE(result.tells(1, "s.log  ") && result.err.contains(" so far  "));
}

// With a limit of two, five URLs are queued, not refused (257); each event is one JSON line of
// the one shape: progress with the whole file's bytes, every change of state, the reports.
TEST_F(HaulTest, JsonLinesForProgressAndRepliesWithUrlsBeyondTheLimitQueued)
{
    QStringList args = {"--json", "--set", "Downloader/StatusInterval=100", "--set", "Downloader/MaxDownloads=2",
                        "get"};
    for (int seed = 0; seed < 5; ++seed)
        args << url(QString("/%1.bin?size=300000&seed=%1&rate=1000000").arg(seed));
    const Result result = run(args);
    EXPECT_TRUE(result.shows(0, ""));
    std::map<QString, double> progress;    // the last bytes reported, by session
    std::map<QString, QStringList> states; // every state each passed through, in order
    int finished = 0;
    for (const QByteArray& line : result.out.trimmed().split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        const QString session = object.value("session").toString(), type = object.value("type").toString();
        ASSERT_FALSE(session.isEmpty()) << line.toStdString();
        if (type == "Progress") {
            EXPECT_EQ(300000.0, object.value("size").toDouble()) << line.toStdString();
            EXPECT_LE(object.value("currentBytes").toDouble(), object.value("totalBytes").toDouble());
            EXPECT_GE(object.value("bytes").toDouble(), progress[session]) << line.toStdString();
            progress[session] = object.value("bytes").toDouble();
        } else if (type == "State") {
            states[session] << object.value("state").toString();
        } else {
            ASSERT_EQ("WasFinished", type.toStdString()) << line.toStdString();
            EXPECT_EQ(0, object.value("code").toInt(-1));
            EXPECT_EQ(300000.0, object.value("bytesKept").toDouble());
            const QString file = object.value("text").toString();
            EXPECT_EQ(body(300000, QFileInfo(file).baseName().toUInt()), readFile(file.toStdString()))
                << line.toStdString();
            ++finished;
        }
    }
    EXPECT_EQ(5, finished);
    EXPECT_FALSE(progress.empty());
    ASSERT_EQ(5u, states.size());
    for (const auto& [session, passed] : states)
        EXPECT_EQ((QStringList{"queued", "running", "finished"}), passed) << session.toStdString();
}

TEST_F(HaulTest, PasswordComesFromTheEnvironmentAndIsNeverShownNorStored)
{
    server.script("/private.bin", "size=5000&seed=4&auth=alice:s3cret-Pa55");
    const QStringList args = {"--log", sandbox.file("haul.log").c_str(), "get", url("/private.bin"), "--user", "alice"};
    env.insert("HAUL_PASSWORD", "wrong-guess");
    const Result refused = run(args);
    EXPECT_TRUE(refused.shows(1, "code 263"));
    env.insert("HAUL_PASSWORD", "s3cret-Pa55");
    const Result accepted = run(args);
    EXPECT_TRUE(accepted.shows(0, "saved: "));
    EXPECT_EQ(body(5000, 4), readFile(data("download/private.bin")));

    // Every retry of a cut file sends them again; after a restart of the owner they are gone
    // with it, and resume --user gives them again.
    server.script("/cut.bin", "size=300000&seed=5&auth=alice:s3cret-Pa55&cut=100000");
    server.clearRequests();
    const Result retried = run({"get", url("/cut.bin"), "--user", "alice", "--id", "cut", "--retries", "1"});
    EXPECT_TRUE(retried.shows(1, "(code 259)") && retried.tells(1, "retrying in "));
    // Each try meets the server's challenge first, then sends the credentials.
    const QList<Request> tries = server.requests();
    ASSERT_FALSE(tries.isEmpty());
    EXPECT_EQ("bytes=100000-", tries.last().header("Range"));
    EXPECT_TRUE(tries.last().has("Authorization"));
    stopOwner(SIGTERM);
    server.script("/cut.bin", "size=300000&seed=5&auth=alice:s3cret-Pa55");
    EXPECT_TRUE(run({"resume", "cut"}).shows(1, "(code 264)"));
    const Result resumed = run({"resume", "cut", "--user", "alice"});
    EXPECT_TRUE(resumed.shows(0, "saved: "));
    EXPECT_EQ(body(300000, 5), readFile(data("download/cut.bin")));

    QByteArray everything = readFile(sandbox.file("haul.log")) + refused.out + refused.err + accepted.out +
                            accepted.err + retried.out + retried.err + resumed.out + resumed.err;
    for (const QString& name : QDir(data("store").c_str()).entryList(QDir::Files))
        everything += readFile(data("store/") + name.toStdString());
    EXPECT_FALSE(everything.contains("s3cret-Pa55") || everything.contains("wrong-guess"));
}

// Headers and the agent of --header and --user-agent reach the server on each request; an
// Authorization header is a credential: it stays with the URL's origin across a redirect and is
// never shown nor stored. haul's own headers are refused before anything starts.
TEST_F(HaulTest, HeadersAndAgentReachTheServerAndAnAuthorizationStaysWithItsOrigin)
{
    ScriptServer other;
    ASSERT_TRUE(other.start());
    server.script("/h.bin", "size=1000&seed=1");
    other.script("/x.bin", "size=1000&seed=2");
    server.script("/away", ("to=" + other.url("/x.bin")).c_str());
    const Result sent = run({"--log", sandbox.file("haul.log").c_str(), "get", url("/h.bin"), url("/away"), "-H",
                             "X-Probe: one", "--header", "Authorization: Bearer t0ken-S3cret", "-A", "probe/2"});
    EXPECT_TRUE(sent.shows(0, "saved: "));
    ASSERT_EQ(server.requests().size(), 2);
    for (const Request& request : server.requests()) {
        EXPECT_EQ(request.header("User-Agent"), "probe/2");
        EXPECT_EQ(request.header("X-Probe"), "one");
        EXPECT_EQ(request.header("Authorization"), "Bearer t0ken-S3cret");
    }
    ASSERT_EQ(other.requests().size(), 1);
    EXPECT_EQ(other.requests().first().header("X-Probe"), "one");
    EXPECT_FALSE(other.requests().first().has("Authorization"));
    EXPECT_EQ(body(1000, 2), readFile(data("download/away")));

    server.clearRequests();
    EXPECT_TRUE(run({"get", url("/h.bin"), "--id", "plain"}).shows(0, "saved: "));
    EXPECT_EQ(server.requests().value(0).header("User-Agent"), "haul/" HAUL_VERSION);
    EXPECT_FALSE(server.requests().value(0).has("X-Probe"));

    QByteArray everything = readFile(sandbox.file("haul.log")) + sent.out + sent.err + run({"--json", "list"}).out;
    for (const QString& name : QDir(data("store").c_str()).entryList(QDir::Files))
        everything += readFile(data("store/") + name.toStdString());
    EXPECT_TRUE(everything.contains("X-Probe")) << "kept with its download";
    EXPECT_FALSE(everything.contains("t0ken-S3cret"));

    EXPECT_TRUE(run({"get", url("/h.bin"), "-H", "Range: bytes=5-"}).tells(2, "header \"Range\" is haul's own to set"));
    EXPECT_TRUE(run({"get", url("/h.bin"), "-H", "no colon"}).tells(2, "needs \"Name: value\""));
}

// A get saves where it runs, as curl -O and wget do, and -o names the file (a folder in it too);
// a file of that name stays. The owner's other clients keep DATA/download.
TEST_F(HaulTest, SavesWhereItRunsAndUnderTheNameGiven)
{
    runIn = sandbox.file("here");
    ASSERT_TRUE(QDir().mkpath(runIn.c_str()));
    const QString file = url("/f.bin?size=1000&seed=7");
    EXPECT_TRUE(run({"get", file}).shows(0, "saved: " + runIn + "/f.bin\n"));
    EXPECT_TRUE(run({"get", file, "-o", "sub/named.bin"}).shows(0, "saved: " + runIn + "/sub/named.bin\n"));
    EXPECT_TRUE(run({"get", file, "-o", "sub/named.bin"}).shows(0, "saved: " + runIn + "/sub/named_2.bin\n"));
    EXPECT_TRUE(run({"get", file, "-d", sandbox.file("there").c_str(), "-o", "x"}).shows(0, "/there/x\n"));
    for (const char* path : {"/f.bin", "/sub/named.bin", "/sub/named_2.bin"})
        EXPECT_EQ(body(1000, 7), readFile(runIn + path)) << path;
    EXPECT_TRUE(run({"get", file, file, "-o", "two"}).tells(2, "--output names the file of a single URL"));
    EXPECT_TRUE(run({"get", file, "-o", "sub/.."}).tells(2, "--output: file name"));
    const ServiceClient::Answer viaSocket =
        ServiceClient(data("haul.sock"))
            .post("/v1/downloads", QJsonObject{{"downloads", QJsonArray{QJsonObject{{"url", file}, {"id", "api"}}}}});
    EXPECT_EQ(viaSocket.status, 201);
    EXPECT_TRUE(waitUntil([&] { return fileExists(data("download/f.bin")); }));
}

// The owner's messages (DATA/serve.log for one started on demand, the journal under systemd)
// tell each start, retry and end of a download in the words a command prints, with URLs shown
// without their user information.
TEST_F(HaulTest, TheOwnersMessagesTellEachStartRetryAndEnd)
{
    EXPECT_TRUE(run({"get", url("/w.bin?size=1000&seed=1"), "--id", "w"}).shows(0, "saved: "));
    const QString missing = QString(url("/missing.bin?status=404")).replace("http://", "http://ann:pw@");
    EXPECT_TRUE(run({"get", missing, "--id", "m"}).shows(1, "failed: "));
    EXPECT_TRUE(run({"get", url("/busy.bin?status=503"), "--id", "b", "--retries", "1"}).shows(1, "failed: "));
    const QByteArray cut = url("/c.bin?size=50000&seed=2&cut=20000").toUtf8();
    EXPECT_TRUE(run({"get", cut, "--id", "c", "--retries", "0"}).shows(1, "failed: "));
    EXPECT_TRUE(run({"resume", "c", "--retries", "0"}).shows(1, "failed: "));
    stopOwner(SIGTERM);
    const QByteArray lines = readFile(data("serve.log"));
    EXPECT_TRUE(lines.contains("started w: " + url("/w.bin?size=1000&seed=1").toUtf8() + "\n")) << lines.data();
    EXPECT_TRUE(lines.contains(("finished w: " + data("download/w.bin") + ", 1000 bytes\n").c_str()));
    EXPECT_TRUE(lines.contains("failed m: HTTP 404 Not Found (code 260), 0 bytes kept\n"));
    EXPECT_TRUE(lines.contains("retrying b in ") && lines.contains(" (1/1): HTTP 503\n"));
    EXPECT_TRUE(lines.contains("started c: " + cut + ", 20000 bytes already there\n")) << lines.data();
    EXPECT_FALSE(lines.contains("ann:pw"));
}

// An owner that stops answering (here it is stopped) is given up on, never waited for forever:
// a command that follows a download says so once the event stream has missed three of the
// owner's pings, and a request once Service/AnswerWaitSeconds have passed.
TEST_F(HaulTest, AnOwnerThatStopsAnsweringIsGivenUpOn)
{
    start({"--set", "Service/AnswerWaitSeconds=1", "get", url("/slow.bin?size=2000000&seed=4&rate=100000"), "--id",
           "slow"});
    ASSERT_TRUE(server.waitRequests(1));
    const pid_t pid = owner();
    ASSERT_NE(0, pid);
    ::kill(pid, SIGSTOP);
    const Result followed = finish();
    EXPECT_TRUE(followed.shows(1, "failed: slow.bin: the owner of " + data("") + " stopped answering [id slow]"));
    EXPECT_TRUE(followed.tells(1, "continue with: "));
    const Result asked = run({"--set", "Service/AnswerWaitSeconds=1", "pause", "slow"});
    EXPECT_TRUE(asked.tells(1, "did not answer within 1 s (Service/AnswerWaitSeconds)"));
    ::kill(pid, SIGCONT);
}

// --limit-rate holds one download to its rate, Downloader/MaxRate all of them together: never
// faster (a quarter second of burst aside), and every byte arrives. Only the lower bound is
// checked: a loaded machine may be slower, never faster.
TEST_F(HaulTest, RateLimitsHoldForOneAndForAll)
{
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(run({"get", url("/r.bin?size=600000&seed=5"), "--limit-rate", "200K"}).shows(0, "saved: "));
    EXPECT_GE(clock.elapsed(), (600000 - 204800 / 4) * 1000 / 204800);
    EXPECT_EQ(body(600000, 5), readFile(data("download/r.bin")));
    stopOwner(SIGTERM);
    clock.restart();
    const Result both = run({"--set", "Downloader/MaxRate=300000", "get", url("/a.bin?size=600000&seed=6"),
                             url("/b.bin?size=600000&seed=7")});
    EXPECT_TRUE(both.shows(0, "saved: "));
    EXPECT_GE(clock.elapsed(), (1200000 - 300000 / 4) * 1000 / 300000);
    EXPECT_EQ(body(600000, 6), readFile(data("download/a.bin")));
    EXPECT_EQ(body(600000, 7), readFile(data("download/b.bin")));
    EXPECT_TRUE(run({"get", url("/r.bin"), "--limit-rate", "fast"}).tells(2, "--limit-rate needs a size such as"));
}

// haul limit changes what runs: a download's own limit lifted ends it long before its rate would,
// an overall limit set while one runs holds it from then on (only upper bounds: a loaded machine
// is slower, never faster), and limits of what is unknown or over are refused.
TEST_F(HaulTest, LimitsChangeWhileDownloadsRun)
{
    const std::string lifted = data("download/l.bin");
    ASSERT_TRUE(run({"get", "--detach", "--id", "l", "--limit-rate", "40K", url("/l.bin?size=2000000&seed=8")})
                    .shows(0, "started"));
    ASSERT_TRUE(waitUntil([&] { return fileSize(partialOf("l", data("download"))) > 0; }));
    // Shell completion offers the ids the running owner knows, after limit's rate only.
    const auto offered = [&](const QString& words) {
        QProcess bash;
        bash.start("bash", {"-c", "compopt() { :; }; source '" HAUL_DIST_DIR "/haul.bash'; COMP_WORDS=('" HAUL_PROGRAM
                                  "' --data-dir '" +
                                      QString::fromStdString(data("")) + "' " + words +
                                      "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _haul; echo \"${COMPREPLY[*]}\""});
        bash.waitForFinished();
        return bash.readAllStandardOutput().trimmed().toStdString();
    };
    EXPECT_EQ("l", offered("limit 0 ''"));
    EXPECT_EQ("", offered("limit ''"));
    EXPECT_EQ("l", offered("pause l"));
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(run({"limit", "0", "l"}).shows(0, "limit: l has no limit of its own"));
    EXPECT_TRUE(waitUntil([&] { return fileExists(lifted); }, 25000)) << "at 40K/s it takes 48 s";
    EXPECT_TRUE(body(2000000, 8) == readFile(lifted));
    EXPECT_TRUE(run({"limit", "1M", "l", "nope"}).shows(1, "failed: nope: "));

    ASSERT_TRUE(
        run({"get", "--detach", "--id", "m", url("/m.bin?size=3000000&seed=9&rate=1000000")}).shows(0, "started"));
    EXPECT_TRUE(run({"limit", "100K"}).shows(0, "limit: every download together at most 100.0 KiB/s"));
    const std::string partial = partialOf("m", data("download"));
    QThread::msleep(300); // the transfer hears of it at its next read
    const qint64 before = fileSize(partial);
    clock.restart();
    QThread::msleep(2000);
    const qint64 grown = fileSize(partial) - before;
    EXPECT_LE(grown, 102400 * (clock.elapsed() + 250) / 1000 + 65536) << "100K/s overall";
    EXPECT_GT(grown, 0);
    EXPECT_TRUE(run({"--json", "limit", "0"}).shows(0, "{\"maxRate\":0,\"type\":\"Limited\"}"));
    EXPECT_TRUE(waitUntil([&] { return fileExists(data("download/m.bin")); }, 25000));
    EXPECT_TRUE(body(3000000, 9) == readFile(data("download/m.bin")));
    EXPECT_TRUE(run({"limit", "fast"}).tells(2, "limit needs a size such as"));
    EXPECT_TRUE(run({"limit"}).tells(2, "limit needs a RATE"));
}

// -i - reads the URLs from standard input (a pipe, as `cmd | haul get -i -`); a line without end
// is refused by its length, not read to the end of memory.
TEST_F(HaulTest, UrlsFromStandardInputAndBoundedLines)
{
    start({"get", "-i", "-"});
    haul.write(("# two files\n" + url("/s1.bin?size=1000&seed=1") + "\n\n" + url("/s2.bin?size=1000&seed=2")).toUtf8());
    haul.closeWriteChannel();
    const Result both = finish();
    EXPECT_TRUE(both.shows(0, "saved: " + data("download/s1.bin")) && both.shows(0, data("download/s2.bin")));
    ASSERT_TRUE(writeFile(sandbox.file("endless"), QByteArray(100000, 'u')));
    EXPECT_TRUE(run({"get", "-i", sandbox.file("endless").c_str()})
                    .tells(2, "line 1 of " + sandbox.file("endless") + " is longer than 24576 bytes"));
}

// A saved file takes the server's Last-Modified as its time, as wget does; --no-timestamp keeps
// the time it was written.
TEST_F(HaulTest, SavedFileTakesTheServersTimeUnlessTold)
{
    server.script("/old.bin", "size=1000&seed=3&h=Last-Modified:%20Sun,%2006%20Nov%201994%2008:49:37%20GMT");
    EXPECT_TRUE(run({"get", url("/old.bin")}).shows(0, "saved: "));
    EXPECT_EQ(QFileInfo(data("download/old.bin").c_str()).lastModified().toSecsSinceEpoch(), 784111777);
    EXPECT_TRUE(run({"get", url("/old.bin"), "--no-timestamp", "-d", data("now").c_str()}).shows(0, "saved: "));
    const qint64 age = QFileInfo(data("now/old.bin").c_str()).lastModified().secsTo(QDateTime::currentDateTime());
    EXPECT_TRUE(age >= 0 && age < 600) << age;
}

TEST_F(HaulTest, ConfigurationFileReachesTheComponentAndSetOverridesIt)
{
    // A limit of none: the component itself refuses every start.
    ASSERT_TRUE(writeFile(sandbox.file("haul.ini"), "[Downloader]\nMaxDownloads=0\n"));
    const QStringList get = {"--config", sandbox.file("haul.ini").c_str(), "get", url("/c.bin?size=10&seed=6")};
    // The plugin's own line with -v only, and never with its source line.
    EXPECT_TRUE(run(QStringList{"-v"} + get).tells(1, "Haulwright ->  ERROR: Max number of downloaders reached."));
    const Result plain = run(get);
    EXPECT_TRUE(plain.shows(1, "(Downloader/MaxDownloads) (code 257)"));
    EXPECT_FALSE(plain.err.contains("Haulwright"));
    EXPECT_EQ(0, server.requests().size());
    // Settings reach the owner a command starts: the first one is stopped for the next.
    stopOwner(SIGTERM);
    EXPECT_TRUE(run(QStringList{"--set", "Downloader/MaxDownloads=1"} + get).shows(0, "saved: "));
    EXPECT_TRUE(run({"--config", sandbox.file("missing.ini").c_str(), "list"}).shows(2, ""));
}

TEST_F(HaulTest, CtrlCPausesThenLaterRunsListAbortAndResumeEveryOne)
{
    std::map<QString, qint64> kept;
    for (const QString id : {"one", "two", "gone"})
        kept[id] = interruptedGet(id);
    const Result listed = run({"list"});
    for (const auto& entry : kept) {
        EXPECT_TRUE(listed.shows(0, entry.first.toStdString() + "  " + server.url("/slow.bin?")));
        EXPECT_TRUE(listed.shows(0, "(" + std::to_string(entry.second) + " bytes), paused"));
    }

    const std::string gonePartial = partialOf("gone", data("download"));
    EXPECT_TRUE(run({"abort", "gone"}).shows(0, "aborted: gone"));
    EXPECT_FALSE(gonePartial.empty() || fileExists(gonePartial));
    // Once aborted, the identifier is unknown to both commands.
    EXPECT_TRUE(run({"--json", "abort", "gone"}).shows(1, "\"code\":272"));
    // Aborted is known as such: neither command starts it again, each says how to.
    EXPECT_TRUE(
        run({"abort", "gone"}).shows(1, "failed: gone: download gone was aborted; start it again with haul get"));
    EXPECT_TRUE(run({"resume", "gone"}).shows(1, "download gone was aborted; start it again with haul get --id gone"));
    EXPECT_TRUE(run({"resume", "gone"}).shows(1, "(code 269) [refused, id gone]"));

    server.script("/slow.bin", "size=2000000&seed=11");
    server.clearRequests();
    const Result resumed = run({"--quiet", "resume", "--all"});
    // Quiet: the two result lines alone.
    EXPECT_TRUE(resumed.shows(0, "") && resumed.out.count("saved: ") == 2 && resumed.out.count('\n') == 2);
    EXPECT_EQ((std::multiset<QByteArray>{"bytes=" + QByteArray::number(kept["one"]) + "-",
                                         "bytes=" + QByteArray::number(kept["two"]) + "-"}),
              ranges());
    // Both chose the same name: the second is saved under a unique one.
    const QStringList saved = QDir(data("download").c_str()).entryList({"slow*"}, QDir::Files);
    EXPECT_EQ(2, saved.size()) << saved.join(' ').toStdString();
    for (const QString& name : saved)
        EXPECT_EQ(body(2000000, 11), readFile(data("download/") + name.toStdString())) << name.toStdString();
    EXPECT_TRUE(run({"list"}).shows(0, "no persisted downloads"));
}

// SIGKILL of the owner leaves only what reached the disk: the record and the partial file. The
// kernel frees the lock, so the next command starts a new owner, which resumes from exactly
// there, whether some bytes had arrived or none.
TEST_F(HaulTest, SigkilledGetIsFinishedByANewProcessFromThePartialFile)
{
    const std::string folder = sandbox.file("out"), digest = bodySha1(2000000, 31);
    for (const QString query : {"rate=500000", "stall=-1"}) {
        SCOPED_TRACE(query.toStdString());
        const QString id = query.left(4), path = "/" + id + ".bin";
        server.clearRequests();
        start({"get", url(path + "?size=2000000&seed=31&" + query), "--id", id, "-d", folder.c_str(), "--sha1",
               digest.c_str()});
        ASSERT_TRUE(server.waitRequests(1));
        ASSERT_TRUE(waitUntil([&] { return fileSize(partialOf(id, folder)) >= (query == "stall=-1" ? 0 : 200000); }));
        const pid_t killed = owner();
        ASSERT_NE(0, killed);
        ::kill(killed, SIGKILL);
        // The command learns that its owner went away.
        EXPECT_TRUE(finish().shows(1, "went away"));
        const qint64 kept = fileSize(partialOf(id, folder));
        ASSERT_LT(kept, 2000000) << "finished before the kill: slow the server down";
        EXPECT_EQ(body(kept, 31), readFile(partialOf(id, folder)));

        // The exact count where the short form rounds.
        EXPECT_TRUE(run({"list"}).shows(0, formatBytes(std::uint64_t(kept)) +
                                               (kept >= 1024 ? " (" + std::to_string(kept) + " bytes)" : "") +
                                               ", interrupted"));
        server.script(path, "size=2000000&seed=31");
        server.clearRequests();
        EXPECT_TRUE(run({"resume", id}).shows(0, "saved: " + folder + path.toStdString()));
        EXPECT_NE(killed, owner());
        EXPECT_EQ(digest, sha1Hex(readFile(folder + path.toStdString())));
        EXPECT_EQ(std::multiset<QByteArray>{"bytes=" + QByteArray::number(kept) + "-"}, ranges());
        EXPECT_EQ(1, server.requests().size());
    }
}

// A file in pieces after a SIGKILL of the owner: the record names the pieces as they were on
// disk, and the resume asks each for exactly its rest (the first whole, the others ranged),
// never again for a byte the record kept, and ends with the right digest.
TEST_F(HaulTest, SigkilledDownloadInPiecesResumesEachPieceFromItsRecord)
{
    const std::string digest = bodySha1(8000000, 33);
    ASSERT_TRUE(run({"get", "--detach", "--id", "x", "-x", "4", "--sha1", digest.c_str(),
                     url("/x.bin?size=8000000&seed=33&rate=1000000")})
                    .shows(0, "started"));
    HaulwrightPersistedRequest record;
    const auto recorded = [&] {
        KeyValueStore store(data("store/DownloadRequests.sqlite"));
        const std::vector<std::string> texts = store.get("x");
        return texts.size() == 1 && unwrapValue(texts.front(), record) && !record.pieces.empty();
    };
    std::vector<Piece> kept;
    ASSERT_TRUE(waitUntil([&] {
        return recorded() && pieces::fromText(record.pieces, 8000000, kept) && pieces::written(kept, 8000000) > 2000000;
    }));
    ::kill(owner(), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return owner() == 0; }));
    ASSERT_TRUE(recorded() && pieces::fromText(record.pieces, 8000000, kept)) << record.pieces;
    const std::string& partial = record.temporalFilename;
    EXPECT_EQ(8000000, fileSize(partial)) << "room for the whole file from the start";
    const QByteArray whole = body(8000000, 33), onDisk = readFile(partial);
    std::multiset<QByteArray> expected;
    const std::int64_t from = pieces::frontier(kept, 0);
    expected.insert("bytes=" + QByteArray::number(qint64(from)) + "-");
    for (const Piece& piece : kept) {
        EXPECT_TRUE(whole.mid(int(piece.start), int(piece.pos - piece.start)) ==
                    onDisk.mid(int(piece.start), int(piece.pos - piece.start)))
            << "kept bytes of the piece at " << piece.start;
        if (!piece.done() && piece.pos != from)
            expected.insert("bytes=" + QByteArray::number(qint64(piece.pos)) + "-" +
                            QByteArray::number(qint64(piece.end - 1)));
    }
    server.script("/x.bin", "size=8000000&seed=33");
    server.clearRequests();
    EXPECT_TRUE(run({"resume", "x"}).shows(0, "saved: " + data("download/x.bin")));
    EXPECT_EQ(digest, sha1Hex(readFile(data("download/x.bin"))));
    const std::multiset<QByteArray> asked = ranges();
    for (const QByteArray& range : expected)
        EXPECT_EQ(1u, asked.count(range)) << range.toStdString() << " after " << record.pieces;
    // Beyond those, only halves split off pieces still unfinished: nothing kept is asked again.
    for (const QByteArray& range : asked) {
        const std::int64_t first = range.mid(6, range.indexOf('-') - 6).toLongLong();
        for (const Piece& piece : kept)
            EXPECT_FALSE(first >= piece.start && first < piece.pos) << range.toStdString();
    }
}

// Each try after the first is a Resume: the cut file continues by Range; what a retry cannot
// mend is asked for once; a server's Retry-After replaces the backoff.
TEST_F(HaulTest, RetriesWhatARetryCanMendAndNothingElse)
{
    const Result result = run({"get", url("/cut.bin?size=50000&seed=41&cut=20000"), url("/missing?status=404&body=no"),
                               url("/busy?status=503&body=no&h=Retry-After:%202"), "--retries", "3"});
    EXPECT_TRUE(result.shows(1, "saved: " + data("download/cut.bin")));
    EXPECT_EQ(bodySha1(50000, 41), sha1Hex(readFile(data("download/cut.bin"))));
    std::map<QString, QList<QByteArray>> seen;
    for (const Request& request : server.requests()) {
        // Qt sends a request again by itself when a kept-alive connection closes under it.
        QList<QByteArray>& ranges = seen[request.path];
        if (ranges.isEmpty() || ranges.back() != request.header("Range") || request.path != "/cut.bin")
            ranges.append(request.header("Range"));
    }
    EXPECT_EQ((QList<QByteArray>{"", "bytes=20000-", "bytes=40000-"}), seen["/cut.bin"]);
    EXPECT_EQ(1, seen["/missing"].size());
    EXPECT_EQ(4, seen["/busy"].size());
    EXPECT_TRUE(result.err.contains("retrying in 2s (1/3): HTTP 503")) << result.err.toStdString();
    EXPECT_TRUE(result.shows(1, "failed: busy: HTTP 503 Service Unavailable"));
}

TEST_F(HaulTest, ListTellsHowEachEndedAndForgetDropsOnlyWhatDoesNotRun)
{
    EXPECT_TRUE(run({"get", url("/cut.bin?size=50000&seed=41&cut=20000"), "--id", "cut", "--retries", "0"})
                    .shows(1, "failed: cut.bin"));
    EXPECT_TRUE(
        run({"get", url("/missing?status=404&body=no"), "--id", "404", "--retries", "0"}).shows(1, "(code 260)"));
    EXPECT_TRUE(run({"get", "--detach", url("/stall.bin?size=50000&stall=-1"), "--id", "run"}).shows(0, "started"));
    ASSERT_TRUE(server.waitRequests(3));
    const Result listed = run({"list"});
    EXPECT_TRUE(listed.shows(0, "(20000 bytes), failed: the connection closed before the whole file arrived"));
    EXPECT_TRUE(listed.shows(0, "failed: HTTP 404 Not Found (code 260)"));
    EXPECT_TRUE(listed.shows(0, "0 B, running\n"));
    const Result listedJson = run({"--json", "list"});
    EXPECT_TRUE(listedJson.shows(0, "\"httpStatus\":404,\"id\":\"404\""));
    EXPECT_TRUE(listedJson.shows(0, "\"words\":\"HTTP 404 Not Found\""));

    server.clearRequests();
    // --all leaves the failed ones to --failed.
    EXPECT_TRUE(run({"resume", "--all"}).shows(0, "nothing to resume"));
    EXPECT_TRUE(
        run({"forget", "run"}).shows(1, "failed: run: download run is running: pause or abort it instead (code 275)"));
    const std::string partial = partialOf("cut", data("download"));
    EXPECT_TRUE(fileExists(partial));
    const Result forgotten = run({"forget", "--failed"});
    EXPECT_TRUE(forgotten.shows(0, "forgotten: cut") && forgotten.shows(0, "forgotten: 404"));
    EXPECT_FALSE(fileExists(partial));
    EXPECT_TRUE(server.requests().isEmpty());
    const Result left = run({"list"});
    EXPECT_TRUE(left.shows(0, "run  ") && !left.out.contains("cut.bin") && !left.out.contains("/missing"));
}

// A command meets an owner that runs with settings of its own: what belongs to one download
// travels with its request; what belongs to the whole owner is refused, naming the key.
TEST_F(HaulTest, ACommandsSettingsGoWithItsDownloadsOrAreRefusedWithTheKey)
{
    ScriptServer tls;
    ASSERT_TRUE(tls.startTls(sandbox.file("pki")));
    EXPECT_TRUE(run({"get", url("/first?size=10&seed=1")}).shows(0, "saved: ")); // starts the owner
    const pid_t running = owner();
    ASSERT_NE(0, running);
    const QString secure = tls.url("/secure.bin?size=2000&seed=2").c_str();
    EXPECT_TRUE(run({"get", secure}).shows(1, "(code 265)"));
    EXPECT_TRUE(run({"--set", "General/security/IgnoreSslErrors=yes", "get", secure}).shows(0, "saved: "));
    EXPECT_EQ(body(2000, 2), readFile(data("download/secure.bin")));
    server.clearRequests();
    const Result refused = run({"--set", "Downloader/MaxDownloads=0", "get", url("/second?size=10&seed=1")});
    EXPECT_TRUE(refused.tells(1, "runs with Downloader/MaxDownloads=50, not 0: a running owner keeps its settings"));
    EXPECT_TRUE(refused.tells(1, "kill -TERM " + std::to_string(running)));
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_EQ(running, owner());
}

TEST_F(HaulTest, DemoPausesResumesWithRangeAndFindsTheFinishedFile)
{
    const Result result = run({"--set", "Downloader/StatusInterval=100", "demo", "--size", "4M", "--rate", "4M"});
    for (const char* text : {"Range: bytes=", "as served", "with no request to the server"})
        EXPECT_TRUE(result.shows(0, text));
    EXPECT_EQ(4 << 20, fileSize(data("download/haul-demo.bin")));
}

} // namespace
