#pragma once

#include "Fixture.h"
#include "Haulwright.h"
#include "HaulwrightPersistedRequest.h"
#include "MessageCollector.h"
#include "Outcome.h"
#include "ScriptServer.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using Message = boost::shared_ptr<LocalMessage>;

struct sqlite3;

// A second connection to a store file holding its write lock, as another process would, until
// released or destroyed. Either call may come from any thread.
class StoreLock
{
public:
    explicit StoreLock(const std::string& file);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // BEGIN EXCLUSIVE; false when the lock could not be had within a few seconds.
    bool take();
    void release();

private:
    std::mutex mutex; // guards db's use and held
    sqlite3* db = nullptr;
    bool held = false;
};

// A component on the real bus, configuration, logger and SQLite store, in a sandboxed data
// directory, with a client that collects the replies and a scripted loopback server.
class ComponentTest : public ::testing::Test
{
protected:
    static const char* const replyTopic;

    void SetUp() override;
    void TearDown() override;

    // Creates and starts the component (stopped and destroyed by TearDown).
    Haulwright& startComponent();
    void destroyComponent();

    static Message makeMessage(const std::string& type, const std::string& session,
                               boost::shared_ptr<ISerializable> payload = {}, int priority = 0,
                               const std::string& reply = replyTopic, const std::string& details = "");
    static boost::shared_ptr<ISerializable> startPayload(const std::string& url, const std::string& folder = "",
                                                         const std::string& hash = "", const std::string& user = "",
                                                         const std::string& password = "");
    // Posts on the component's request topic.
    void send(const Message& message);
    void send(const std::string& type, const std::string& session) { send(makeMessage(type, session)); }
    void start(const std::string& session, const std::string& url, const std::string& folder = "",
               const std::string& hash = "", const std::string& user = "", const std::string& password = "");
    // A Start, then its first report once the handler has finished (null on timeout).
    Message download(const std::string& session, const std::string& url, const std::string& folder = "",
                     const std::string& hash = "", const std::string& user = "", const std::string& password = "");
    // A Resume after forgetting earlier replies, then its report once the handler has finished.
    Message resume(const std::string& session);
    // request sent after forgetting earlier replies, then its report once the handler has finished.
    Message outcomeOf(const Message& request);
    // The first reply for session, or null after timeoutMs.
    Message awaitReply(const std::string& session, int timeoutMs = 30000);
    std::vector<Message> repliesFor(const std::string& session);
    // Waits until session is registered and the server saw a request, so a Pause meets a transfer.
    bool waitRunning(const std::string& session);

    // Type, code and text at once, so a failure shows the whole report.
    static testing::AssertionResult isReport(const Message& reply, const std::string& type, int code,
                                             const std::string& text);
    static int codeOf(const Message& message);
    static std::string textOf(const Message& message);
    // Why the report says what it says, from its envelope.
    static Cause causeOf(const Message& message) { return Cause::fromText(message->getDetails()); }

    // Read with a store connection of the test's own (reading through the component logs a miss).
    bool persisted(const std::string& session, HaulwrightPersistedRequest& record);
    // The partial file the record of session names, "" when there is no record.
    std::string recordedPartial(const std::string& session);
    // Every *.part file in the data directory and in in().
    QStringList partialFiles() const;
    // A destination folder in the sandbox, created by SetUp.
    std::string in(const std::string& name = "") const { return sandbox.file("in/" + name); }

    // Text parts (after "] -> ") of the captured log lines.
    std::vector<std::string> logTexts();
    void clearLog();

    Sandbox sandbox;
    std::string dataPath;
    std::string storeFile;
    MessageCollector replies;
    std::unique_ptr<Haulwright> component;
    ScriptServer server;
};
