// One owner per data directory, as users meet it: two terminals on one data directory, a
// second owner, the stop signals with downloads running, and an idle owner leaving.
#include "Fixture.h"
#include "OwnerProcess.h"
#include "ScriptServer.h"

#include <QDir>
#include <QFileInfo>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

class OwnerTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    // Owners that commands started on demand end with the test.
    void TearDown() override
    {
        for (const std::string& path : {data, sandbox.file("sigterm/"), sandbox.file("sighup/")}) {
            if (const qint64 pid = lockHolder(path))
                ::kill(pid_t(pid), SIGTERM);
            EXPECT_TRUE(waitUntil([&] { return lockHolder(path) == 0; }, 30000));
        }
    }
    std::string partialOf(const std::string& folder, const QString& id) const
    {
        const QStringList found = QDir(folder.c_str()).entryList({id + "*.part"});
        return found.size() == 1 ? folder + found[0].toStdString() : std::string();
    }

    Sandbox sandbox;
    ScriptServer server;
    const std::string data = sandbox.file("data/");
};

// The cases of two terminals: while `haul get` runs in the first, the second either works
// through the owner or is refused, and the file ends whole or not at all, never written twice.
TEST_F(OwnerTest, SecondTerminalWorksThroughTheOwnerOrIsRefused)
{
    const qint64 size = 5242880;
    const std::string digest = bodySha1(size, 21);
    struct Case
    {
        const char* name;
        QStringList second;
        int secondStatus;
        std::string secondText;
        int firstStatus;
        std::string firstText;
        bool saved; // the file is complete in the end (after a resume where paused)
    };
    const QString url = server.url("/f.bin?size=5242880&seed=21&rate=2500000").c_str();
    const std::vector<Case> cases = {
        {"resume", {"resume", "X"}, 1, "download X is already running (code 275)", 0, "saved: ", true},
        {"resume --all", {"resume", "--all"}, 0, "nothing to resume", 0, "saved: ", true},
        {"get --id", {"get", url, "--id", "X"}, 1, "download X is already running (code 275)", 0, "saved: ", true},
        {"abort", {"abort", "X"}, 0, "aborted: X", 1, "[WasAborted, id X]", false},
        {"pause", {"pause", "X"}, 0, "paused: X (", 1, "paused: f.bin (", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = sandbox.file(std::string("out-") + c.name + "/");
        server.clearRequests();
        HaulProcess first(data), second(data);
        first.start({"get", url, "--id", "X", "--sha1", digest.c_str(), "-d", folder.c_str()});
        ASSERT_TRUE(waitUntil([&] { return fileSize(partialOf(folder, "X")) > 0; }, 30000));
        const std::string partial = partialOf(folder, "X");
        EXPECT_TRUE(second.run(c.second).shows(c.secondStatus, c.secondText));
        EXPECT_TRUE(first.finish().shows(c.firstStatus, c.firstText));
        if (std::string(c.name) == "pause") {
            const qint64 kept = fileSize(partial);
            EXPECT_LT(kept, size);
            EXPECT_TRUE(second.run({"resume", "X"}).shows(0, "saved: " + folder + "f.bin"));
            EXPECT_EQ("bytes=" + QByteArray::number(kept) + "-", server.requests().last().header("Range"));
        }
        EXPECT_FALSE(fileExists(partial));
        if (c.saved) {
            EXPECT_EQ(size, fileSize(folder + "f.bin"));
            EXPECT_EQ(digest, sha1Hex(readFile(folder + "f.bin")));
        } else {
            EXPECT_FALSE(fileExists(folder + "f.bin"));
        }
        // Nothing left behind, and one request per transfer: no second writer ever ran.
        EXPECT_TRUE(second.run({"list"}).shows(0, "no persisted downloads"));
        EXPECT_EQ(std::string(c.name) == "pause" ? 2 : 1, server.requests().size());
    }
}

TEST_F(OwnerTest, SecondOwnerNamesTheFirstAndCommandsUseTheFirst)
{
    OwnerProcess owner(data);
    ASSERT_TRUE(owner.serve());
    EXPECT_EQ(owner.pid(), lockHolder(data));
    struct stat socket{};
    ASSERT_EQ(0, ::stat((data + "haul.sock").c_str(), &socket));
    EXPECT_EQ(0600u, socket.st_mode & 0777);

    HaulProcess second(data);
    EXPECT_TRUE(second.run({"serve"}).shows(1, "is owned by process " + std::to_string(owner.pid())));
    HaulProcess command(data);
    EXPECT_TRUE(command.run({"get", server.url("/a.bin?size=1000&seed=1").c_str()}).shows(0, "saved: "));
    EXPECT_EQ(owner.pid(), lockHolder(data));
    EXPECT_TRUE(owner.stop(SIGTERM).shows(0, "stopped"));
    EXPECT_FALSE(fileExists(data + "haul.sock"));
}

// A stop signal with five downloads running: each is paused, its record flushed, the owner
// exits 0, and a new owner resumes all five to the right digest.
TEST_F(OwnerTest, StopSignalPausesEveryDownloadAndARestartFinishesThem)
{
    const qint64 size = 3000000;
    for (const int signal : {SIGTERM, SIGHUP}) {
        const std::string path = sandbox.file(signal == SIGTERM ? "sigterm/" : "sighup/");
        SCOPED_TRACE(path);
        QJsonArray list;
        for (int i = 0; i < 5; ++i)
            list.append(download(server.url(QString("/%1-%2.bin?size=3000000&seed=%2&rate=1000000").arg(signal).arg(i)),
                                 "d" + std::to_string(i), bodySha1(size, quint32(i))));
        {
            OwnerProcess owner(path);
            ASSERT_TRUE(owner.serve());
            ASSERT_EQ(201, owner.client.post("/v1/downloads", downloads(list)).status);
            ASSERT_TRUE(waitUntil([&] {
                for (int i = 0; i < 5; ++i) {
                    if (fileSize(partialOf(path + "download/", QString("d%1").arg(i))) <= 0)
                        return false;
                }
                return true;
            }));
            EXPECT_TRUE(owner.stop(signal).shows(0, "stopped"));
        }
        EXPECT_EQ(0, lockHolder(path));

        OwnerProcess owner(path);
        ASSERT_TRUE(owner.serve());
        const QJsonArray persisted = owner.client.get("/v1/downloads").body.value("persisted").toArray();
        ASSERT_EQ(5, persisted.size());
        std::map<QString, qint64> kept;
        for (const QJsonValue& value : persisted) {
            const QJsonObject record = value.toObject();
            kept[record.value("id").toString()] = qint64(record.value("partialBytes").toDouble());
            EXPECT_EQ(fileSize(record.value("partial").toString().toStdString()), kept[record.value("id").toString()]);
            EXPECT_LT(kept[record.value("id").toString()], size);
        }
        EventLog events;
        ASSERT_TRUE(events.open(path + "haul.sock"));
        server.clearRequests();
        for (int i = 0; i < 5; ++i) {
            server.script(QString("/%1-%2.bin").arg(signal).arg(i), QString("size=3000000&seed=%1").arg(i));
            EXPECT_EQ(202, owner.client.post("/v1/downloads/d" + std::to_string(i) + "/resume", {}).status);
        }
        for (int i = 0; i < 5; ++i) {
            const QString id = QString("d%1").arg(i);
            EXPECT_TRUE(waitUntil([&] { return events.count("ended", id) == 1; }));
            EXPECT_EQ(1, events.count("", id, "WasFinished"));
            const std::string file = path + "download/" + std::to_string(signal) + "-" + std::to_string(i) + ".bin";
            EXPECT_EQ(bodySha1(size, quint32(i)), sha1Hex(readFile(file)));
        }
        std::multiset<QByteArray> ranges, wanted;
        for (const Request& request : server.requests())
            ranges.insert(request.header("Range"));
        for (const auto& entry : kept)
            wanted.insert("bytes=" + QByteArray::number(entry.second) + "-");
        EXPECT_EQ(wanted, ranges);
    }
}

// Commands started together with no owner each start one; one takes the lock, the others
// leave, and every command is served by the one that won.
TEST_F(OwnerTest, CommandsStartedTogetherShareTheOwnerOneOfThemStarted)
{
    std::vector<std::unique_ptr<HaulProcess>> commands;
    for (int i = 0; i < 4; ++i) {
        commands.emplace_back(new HaulProcess(data));
        commands.back()->start({"get", server.url(QString("/t%1.bin?size=100000&seed=%1").arg(i)).c_str()});
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(commands[std::size_t(i)]->finish().shows(0, "saved: " + data + "download/t" + std::to_string(i) + ".bin"));
    EXPECT_NE(0, lockHolder(data));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(body(100000, quint32(i)), readFile(data + "download/t" + std::to_string(i) + ".bin"));
}

TEST_F(OwnerTest, OwnerStartedOnDemandLeavesWhenIdle)
{
    OwnerProcess idle(data);
    ASSERT_TRUE(idle.serve({"--idle-exit", "--set", "Service/IdleExitSeconds=1"}));
    // Busy with a download, it stays; idle for Service/IdleExitSeconds, it leaves with 0.
    EXPECT_EQ(201, idle.client.post("/v1/downloads", downloads({download(server.url("/s.bin?size=400000&seed=2&rate=400000"))})).status);
    EXPECT_TRUE(idle.finish(60000).shows(0, "idle for 1 s"));
    EXPECT_EQ(400000, fileSize(data + "download/s.bin"));
}

} // namespace
