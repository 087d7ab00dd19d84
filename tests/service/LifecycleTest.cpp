// The one model of a download, state by state: what each command does to a download in each
// state, and what a stop and a start of the owner leave, with the files that stay.
#include "OwnerProcess.h"
#include "ScriptServer.h"

#include <QDir>
#include <map>

namespace {

// What a download is after a command: its state in the owner's list ("gone": not listed), and
// whether a partial file of it stays in the download folder.
struct After
{
    int status; // of the command's answer
    std::string state;
    bool partial;
};

class LifecycleTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    bool serve(const QStringList& settings = {})
    {
        owner.reset(new OwnerProcess(data));
        return owner->serve(QStringList{"--set", "Downloader/StatusInterval=50"} + settings);
    }
    int post(const std::string& target, const QJsonObject& body = {})
    {
        return owner->client.post(target, body).status;
    }
    int start(const QString& id, const QString& query)
    {
        server.script("/" + id, query);
        const QJsonArray list{QJsonObject{{"url", server.url("/" + id).c_str()}, {"id", id}, {"retries", 0}}};
        return post("/v1/downloads", {{"downloads", list}});
    }
    std::map<std::string, QJsonObject> listed()
    {
        std::map<std::string, QJsonObject> all;
        for (const QJsonValue& value : owner->client.get("/v1/downloads").body.value("downloads").toArray())
            all[value.toObject().value("id").toString().toStdString()] = value.toObject();
        return all;
    }
    std::string stateOf(const std::string& id)
    {
        const auto all = listed();
        const auto found = all.find(id);
        return found == all.end() ? "gone" : found->second.value("state").toString().toStdString();
    }
    bool partial(const std::string& id) const { return partialSize(id) >= 0; }
    qint64 partialSize(const std::string& id) const
    {
        const QStringList found =
            QDir((data + "download").c_str()).entryList({QString::fromStdString(id) + "[0-9]*.part"});
        return found.isEmpty() ? -1 : fileSize(data + "download/" + found.front().toStdString());
    }
    // Brings id into state: waits until the owner says so.
    bool into(const std::string& state, const QString& id)
    {
        const std::string slow = "size=200000&seed=1&stall=-1&at=100000";
        if (state == "queued" || state == "running" || state == "paused" || state == "aborted") {
            if (start(id, slow.c_str()) != 201)
                return false;
            if (state == "queued") {
                return waitUntil([&] { return stateOf(id.toStdString()) == "queued"; });
            }
            // Past the file's write buffer: on disk.
            if (!waitUntil([&] { return partialSize(id.toStdString()) >= 65536; }))
                return false;
            if (state == "paused")
                post("/v1/downloads/" + id.toStdString() + "/pause");
            if (state == "aborted")
                post("/v1/downloads/" + id.toStdString() + "/abort");
        } else if (state == "failed") {
            if (start(id, "size=100000&seed=1&cut=1000") != 201)
                return false;
        } else if (start(id, "size=1000&seed=1") != 201) {
            return false;
        }
        return waitUntil([&] { return stateOf(id.toStdString()) == state; });
    }

    Sandbox sandbox;
    ScriptServer server;
    const std::string data = sandbox.file("data/");
    std::unique_ptr<OwnerProcess> owner;
};

TEST_F(LifecycleTest, EveryStateAnswersEveryCommand)
{
    const std::vector<std::string> commands = {"get", "pause", "resume", "abort", "forget", "restart"};
    // Per starting state, what each command leaves.
    const std::map<std::string, std::vector<After>> table = {
        {"queued",
         {{409, "queued", false},
          {202, "paused", false},
          {409, "queued", false},
          {202, "aborted", false},
          {409, "queued", false},
          {0, "finished", false}}}, // queued at the stop, run by the next owner
        {"running",
         {{409, "running", true},
          {202, "paused", true},
          {409, "running", true},
          {202, "aborted", false},
          {409, "running", true},
          {0, "paused", true}}},
        {"paused",
         {{409, "paused", true},
          {409, "paused", true},
          {202, "finished", false},
          {202, "aborted", false},
          {202, "gone", false},
          {0, "paused", true}}},
        {"failed",
         {{409, "failed", true},
          {409, "failed", true},
          {202, "finished", false},
          {202, "aborted", false},
          {202, "gone", false},
          {0, "failed", true}}},
        {"finished",
         {{201, "finished", false},
          {409, "finished", false},
          {404, "finished", false},
          {404, "finished", false},
          {202, "gone", false},
          {0, "finished", false}}},
        {"aborted",
         {{201, "finished", false},
          {409, "aborted", false},
          {404, "aborted", false},
          {404, "aborted", false},
          {202, "gone", false},
          {0, "aborted", false}}},
    };
    for (const auto& [state, results] : table) {
        SCOPED_TRACE(state);
        // A place for one: what is queued waits behind a download that never ends.
        ASSERT_TRUE(serve(state == "queued" ? QStringList{"--set", "Downloader/MaxDownloads=1"} : QStringList{}));
        if (state == "queued") {
            ASSERT_EQ(201, start("blocker", "size=100000&seed=1&stall=-1"));
        }
        for (const std::string& command : commands)
            ASSERT_TRUE(into(state, QString::fromStdString(state + "-" + command))) << command;
        for (std::size_t i = 0; i < commands.size(); ++i) {
            const std::string& command = commands[i];
            const std::string id = state + "-" + command;
            const After& wanted = results[i];
            SCOPED_TRACE(command);
            // What a retry or resume fetches now comes whole.
            server.script(QString::fromStdString("/" + id), "size=1000&seed=1");
            int status = 0;
            if (command == "get")
                status = start(QString::fromStdString(id), "size=1000&seed=1");
            else if (command != "restart")
                status = post("/v1/downloads/" + id + "/" + command);
            EXPECT_EQ(wanted.status, status);
            if (command == "restart")
                continue;
            EXPECT_TRUE(waitUntil([&] { return stateOf(id) == wanted.state; })) << stateOf(id);
            EXPECT_TRUE(waitUntil([&] { return partial(id) == wanted.partial; })) << partial(id);
        }
        // A stop and a start lose nothing and keep what arrived.
        const std::string id = state + "-restart";
        EXPECT_TRUE(owner->stop(SIGTERM).shows(0, "stopped"));
        ASSERT_TRUE(serve());
        EXPECT_TRUE(waitUntil([&] { return stateOf(id) == results.back().state; })) << stateOf(id);
        EXPECT_EQ(results.back().partial, partial(id));
        if (state == "running") {
            EXPECT_TRUE(listed()[id].value("interrupted").toBool());
            EXPECT_EQ(double(partialSize(id)), listed()[id].value("bytes").toDouble()) << "counted from the disk";
        }
        owner->stop(SIGTERM);
    }
}

} // namespace
