// One owner per data directory, as users meet it: two terminals on one data directory, a
// second owner, commands started together, the stop signals with downloads running, idle exit.
#include "OwnerProcess.h"
#include "ScriptServer.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <set>

namespace {

class OwnerTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    // An owner that commands started on demand ends with the test.
    void TearDown() override
    {
        if (const qint64 pid = lockHolder(data))
            ::kill(pid_t(pid), SIGTERM);
        EXPECT_TRUE(waitUntil([&] { return lockHolder(data) == 0; }, 30000));
    }
    static std::string partialOf(const std::string& folder, const QString& id)
    {
        const QStringList found = QDir(folder.c_str()).entryList({id + "*.part"});
        return found.size() == 1 ? folder + found[0].toStdString() : std::string();
    }

    Sandbox sandbox;
    ScriptServer server;
    const std::string data = sandbox.file("data/");
};

// While `haul get` runs in one terminal, the other works through the owner or is refused, and
// the file ends whole or not at all, never written twice.
TEST_F(OwnerTest, SecondTerminalWorksThroughTheOwnerOrIsRefused)
{
    const qint64 size = 5242880;
    const std::string digest = bodySha1(size, 21);
    const QString url = server.url("/f.bin?size=5242880&seed=21&rate=2500000").c_str();
    // What the second terminal runs, its status and output, the first's status and output.
    const std::vector<std::tuple<QStringList, int, std::string, int, std::string>> cases = {
        {{"resume", "X"}, 1, "download X is already running (code 275)", 0, "saved: "},
        {{"resume", "--all"}, 0, "nothing to resume", 0, "saved: "},
        {{"get", url, "--id", "X"}, 1, "download X is already running (code 275)", 0, "saved: "},
        {{"abort", "X"}, 0, "aborted: X", 1, "[WasAborted, id X]"},
        {{"pause", "X"}, 0, "paused: X (", 1, "paused: f.bin ("},
    };
    for (const auto& [command, secondStatus, secondText, firstStatus, firstText] : cases) {
        SCOPED_TRACE(command.join(' ').toStdString());
        const std::string folder = sandbox.file("out-" + command.join('-').toStdString() + "/");
        const bool paused = command[0] == "pause", aborted = command[0] == "abort";
        server.clearRequests();
        HaulProcess first(data), second(data);
        first.start({"get", url, "--id", "X", "--sha1", digest.c_str(), "-d", folder.c_str()});
        ASSERT_TRUE(waitUntil([&] { return fileSize(partialOf(folder, "X")) > 0; }, 30000));
        const std::string partial = partialOf(folder, "X");
        EXPECT_TRUE(second.run(command).shows(secondStatus, secondText));
        EXPECT_TRUE(first.finish().shows(firstStatus, firstText));
        if (paused) {
            const qint64 kept = fileSize(partial);
            EXPECT_TRUE(second.run({"resume", "X"}).shows(0, "saved: " + folder + "f.bin"));
            EXPECT_EQ("bytes=" + QByteArray::number(kept) + "-", server.requests().last().header("Range"));
        }
        EXPECT_FALSE(fileExists(partial));
        EXPECT_EQ(aborted ? "" : digest, fileExists(folder + "f.bin") ? sha1Hex(readFile(folder + "f.bin")) : "");
        // Nothing left behind, and one request per transfer: no second writer ever ran.
        EXPECT_TRUE(second.run({"list"}).shows(0, "no persisted downloads"));
        EXPECT_EQ(paused ? 2 : 1, server.requests().size());
    }
}

// Commands started together with no owner each start one; one takes the lock, the others leave,
// and every command is served by the one that won. It refuses a second owner naming itself, stays
// while a detached download runs, then leaves when idle and removes its socket. Where no owner can
// start, the command says why.
TEST_F(OwnerTest, CommandsStartedTogetherShareAnOwnerThatRefusesASecondAndLeavesWhenIdle)
{
    std::vector<std::unique_ptr<HaulProcess>> commands;
    for (int i = 0; i < 4; ++i) {
        commands.emplace_back(new HaulProcess(data));
        const QString url =
            server.url(QString("/t%1.bin?size=%2&seed=%1&rate=200000").arg(i).arg(i ? 100000 : 600000)).c_str();
        QStringList args{"--set", "Service/IdleExitSeconds=1", "get", url};
        commands.back()->start(i ? args : args << "--detach");
    }
    const auto file = [&](int i) { return data + "download/t" + std::to_string(i) + ".bin"; };
    EXPECT_TRUE(commands[0]->finish().shows(0, "started: "));
    for (int i = 1; i < 4; ++i)
        EXPECT_TRUE(commands[std::size_t(i)]->finish().shows(0, "saved: " + file(i)));
    const qint64 owner = lockHolder(data);
    ASSERT_NE(0, owner);
    EXPECT_EQ(onlyForTheUser, QFileInfo((data + "haul.sock").c_str()).permissions());
    EXPECT_TRUE(HaulProcess(data).run({"serve"}).shows(1, "is owned by process " + std::to_string(owner)));
    EXPECT_TRUE(waitUntil([&] { return lockHolder(data) == 0; }, 30000));
    EXPECT_FALSE(fileExists(data + "haul.sock"));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(bodySha1(i ? 100000 : 600000, quint32(i)), sha1Hex(readFile(file(i))));
    // No owner can start where the data directory cannot be: the command says why.
    ASSERT_TRUE(writeFile(data + "afile", "not a folder"));
    EXPECT_TRUE(HaulProcess(data + "afile/data/")
                    .run({"list"})
                    .shows(1, "cannot start haul serve for " + data + "afile/data/: cannot make " + data +
                                  "afile/data: Not a directory"));
}

// Socket activation as systemd's haul.socket does it (systemd-socket-activate where installed,
// else by hand): the first command's connection starts the owner on the socket it is given, no
// command starts one of its own, and the socket file stays when the owner leaves.
TEST_F(OwnerTest, SocketActivationStartsTheOwnerOnTheFirstCommand)
{
    const std::string socket = data + "haul.sock";
    ASSERT_TRUE(QDir().mkpath(data.c_str()));
    QProcess activator;
    const QString tool = QStandardPaths::findExecutable("systemd-socket-activate");
    const QStringList owner = {HAUL_PROGRAM, "--data-dir", data.c_str(), "serve"};
    if (!tool.isEmpty())
        activator.start(tool, QStringList{"-l", socket.c_str()} + owner);
    else
        activator.start("python3", QStringList{"-c",
                                               "import os, socket, sys\n"
                                               "s = socket.socket(socket.AF_UNIX)\n"
                                               "s.bind(sys.argv[1]); s.listen()\n"
                                               "os.dup2(s.fileno(), 3)\n"
                                               "os.environ.update(LISTEN_FDS='1', LISTEN_PID=str(os.getpid()))\n"
                                               "os.execv(sys.argv[2], sys.argv[2:])\n",
                                               socket.c_str()} +
                                       owner);
    ASSERT_TRUE(waitUntil([&] { return fileExists(socket); }));
    EXPECT_EQ(0, lockHolder(data)) << "no owner before the first command";
    EXPECT_TRUE(HaulProcess(data).run({"list"}).shows(0, "no persisted downloads"));
    EXPECT_EQ(activator.processId(), lockHolder(data)) << "the activated owner, not one a command started";
    ::kill(pid_t(activator.processId()), SIGTERM);
    EXPECT_TRUE(activator.waitForFinished(30000));
    EXPECT_EQ(activator.exitCode(), 0) << activator.readAllStandardError().data();
    EXPECT_TRUE(fileExists(socket)) << "systemd's file";
}

// A stop signal with five downloads running: each is paused with its record flushed, the owner
// exits 0, and a new owner resumes all five from where they stopped to the right digest.
TEST_F(OwnerTest, StopSignalPausesEveryDownloadAndARestartFinishesThem)
{
    const qint64 size = 3000000;
    for (const int signal : {SIGTERM, SIGHUP}) {
        const std::string path = sandbox.file(signal == SIGTERM ? "sigterm/" : "sighup/");
        SCOPED_TRACE(path);
        const auto file = [&](int i) { return QString("/%1-%2.bin").arg(signal).arg(i); };
        QJsonArray list;
        for (int i = 0; i < 5; ++i) {
            const std::string url = server.url(file(i) + QString("?size=3000000&seed=%1&rate=1000000").arg(i));
            const std::string digest = bodySha1(size, quint32(i));
            list.append(QJsonObject{{"url", url.c_str()}, {"id", QString("d%1").arg(i)}, {"sha1", digest.c_str()}});
        }
        {
            OwnerProcess owner(path);
            ASSERT_TRUE(owner.serve());
            ASSERT_EQ(201, owner.client.post("/v1/downloads", {{"downloads", list}}).status);
            ASSERT_TRUE(waitUntil([&] {
                int started = 0;
                for (int i = 0; i < 5; ++i)
                    started += fileSize(partialOf(path + "download/", QString("d%1").arg(i))) > 0;
                return started == 5;
            }));
            EXPECT_TRUE(owner.stop(signal).shows(0, "stopped"));
        }
        OwnerProcess owner(path);
        ASSERT_TRUE(owner.serve());
        std::multiset<QByteArray> wanted, ranges;
        for (const QJsonValue& value : owner.client.get("/v1/downloads").body.value("downloads").toArray()) {
            const QJsonObject download = value.toObject();
            const qint64 kept = qint64(download.value("bytes").toDouble());
            EXPECT_EQ(fileSize(partialOf(path + "download/", download.value("id").toString())), kept);
            EXPECT_LT(kept, size);
            EXPECT_EQ("paused", download.value("state").toString());
            EXPECT_TRUE(download.value("interrupted").toBool());
            wanted.insert("bytes=" + QByteArray::number(kept) + "-");
        }
        ASSERT_EQ(5u, wanted.size());
        server.clearRequests();
        for (int i = 0; i < 5; ++i)
            server.script(file(i), QString("size=3000000&seed=%1").arg(i)); // no longer slowed
        EXPECT_TRUE(HaulProcess(path).run({"resume", "--all"}).shows(0, "saved: "));
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(bodySha1(size, quint32(i)), sha1Hex(readFile(path + "download" + file(i).toStdString())));
        for (const Request& request : server.requests())
            ranges.insert(request.header("Range"));
        EXPECT_EQ(wanted, ranges);
    }
}

} // namespace
