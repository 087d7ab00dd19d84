#include "ComponentFixture.h"

#include "Configuration.h"
#include "HostLogger.h"
#include "KeyValueSchema.h"
#include "MessageBus.h"
#include "StartRequestPayload.h"
#include "StatusReportPayload.h"

#include <QDir>
#include <QDirIterator>
#include <sqlite3.h>

const char* const ComponentTest::replyTopic = "client://tests/replies";

void ComponentTest::SetUp()
{
    MessageBus::instance().restart();
    MessageBus::instance().setPostFilter({});
    Configuration::instance().clear();
    dataPath = sandbox.file("data/");
    storeFile = dataPath + "store/DownloadRequests.sqlite";
    QDir().mkpath(QString::fromStdString(dataPath + "download"));
    QDir().mkpath(QString::fromStdString(in()));
    Configuration::instance().set("Directories/DataPath", dataPath);
    HostLogger::instance().setQuiet(true);
    HostLogger::instance().startCapture();
    HostLogger::instance().clearCapture();
    MessageBus::instance().subscribe(&replies, replyTopic);
    ASSERT_TRUE(server.start());
}

void ComponentTest::TearDown()
{
    destroyComponent();
    MessageBus::instance().unsubscribe(&replies, "");
    MessageBus::instance().setPostFilter({});
    HostLogger::instance().stopCapture();
    server.stop();
}

Haulwright& ComponentTest::startComponent()
{
    component.reset(new Haulwright());
    component->start();
    return *component;
}

void ComponentTest::destroyComponent()
{
    if (component) {
        component->stop();
        component.reset();
    }
}

StoreLock::StoreLock(const std::string& file)
{
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        return;
    }
    sqlite3_busy_timeout(db, 5000);
}

StoreLock::~StoreLock()
{
    release();
    sqlite3_close(db);
}

bool StoreLock::take()
{
    std::lock_guard<std::mutex> lock(mutex);
    held = held || (db != nullptr && sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK);
    return held;
}

void StoreLock::release()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (held)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    held = false;
}

Message ComponentTest::makeMessage(const std::string& type, const std::string& session,
                                   boost::shared_ptr<ISerializable> payload, int priority, const std::string& reply,
                                   const std::string& details)
{
    CommonMessageProperties properties;
    properties.messageType = type;
    properties.priority = priority;
    properties.topic = "event://Client/Service/Download";
    properties.replyTopic = reply;
    properties.sessionId = UUId(session);
    properties.details = details;
    Message message(new LocalMessage(properties));
    message->setPayload(payload);
    return message;
}

boost::shared_ptr<ISerializable> ComponentTest::startPayload(const std::string& url, const std::string& folder,
                                                             const std::string& hash, const std::string& user,
                                                             const std::string& password)
{
    return boost::shared_ptr<ISerializable>(new StartRequestPayload(url, user, password, folder, !user.empty(), hash));
}

void ComponentTest::send(const Message& message)
{
    ASSERT_EQ(0, MessageBus::instance().post(message));
}

void ComponentTest::start(const std::string& session, const std::string& url, const std::string& folder,
                          const std::string& hash, const std::string& user, const std::string& password)
{
    send(makeMessage("Start", session, startPayload(url, folder, hash, user, password)));
}

Message ComponentTest::download(const std::string& session, const std::string& url, const std::string& folder,
                                const std::string& hash, const std::string& user, const std::string& password)
{
    start(session, url, folder, hash, user, password);
    Message reply = awaitReply(session);
    // The report goes out before the record is removed; let the handler finish.
    MessageBus::instance().waitIdle(30000);
    return reply;
}

Message ComponentTest::resume(const std::string& session)
{
    return outcomeOf(makeMessage("Resume", session));
}

Message ComponentTest::outcomeOf(const Message& request)
{
    MessageBus::instance().waitIdle(30000);
    replies.clear();
    send(request);
    Message reply = awaitReply(request->getSessionId().getValue());
    MessageBus::instance().waitIdle(30000);
    return reply;
}

Message ComponentTest::awaitReply(const std::string& session, int timeoutMs)
{
    const auto matches = [&session](const LocalMessage& m) { return m.getSessionId().getValue() == session; };
    if (!replies.waitFor(matches, timeoutMs))
        return {};
    const std::vector<Message> found = repliesFor(session);
    return found.empty() ? Message() : found.front();
}

std::vector<Message> ComponentTest::repliesFor(const std::string& session)
{
    std::vector<Message> found;
    for (const Message& message : replies.messages())
        if (message->getSessionId().getValue() == session)
            found.push_back(message);
    return found;
}

bool ComponentTest::waitRunning(const std::string& session)
{
    return waitUntil(
        [&] { return component && component->isRegistered(UUId(session)) && !server.requests().isEmpty(); });
}

testing::AssertionResult ComponentTest::isReport(const Message& reply, const std::string& type, int code,
                                                 const std::string& text)
{
    if (!reply)
        return testing::AssertionFailure() << "no report";
    const auto* status = dynamic_cast<const StatusReportPayload*>(reply->getPayload().get());
    if (status == nullptr)
        return testing::AssertionFailure() << reply->getMessageType() << " without a status payload";
    if (reply->getMessageType() == type && status->getCode() == code && status->getMessage() == text)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "got " << reply->getMessageType() << " " << status->getCode() << " \""
                                       << status->getMessage() << "\", expected " << type << " " << code << " \""
                                       << text << "\"";
}

int ComponentTest::codeOf(const Message& message)
{
    return dynamic_cast<const StatusReportPayload&>(*message->getPayload()).getCode();
}

std::string ComponentTest::textOf(const Message& message)
{
    return dynamic_cast<const StatusReportPayload&>(*message->getPayload()).getMessage();
}

bool ComponentTest::persisted(const std::string& session, HaulwrightPersistedRequest& record)
{
    KeyValueSchema store = PersistentManager().initLocal("DownloadRequests", "", "", "");
    const std::vector<std::string> texts = store.getRawData(session);
    return texts.size() == 1 && unwrapValue(texts.front(), record);
}

std::string ComponentTest::recordedPartial(const std::string& session)
{
    HaulwrightPersistedRequest record;
    return persisted(session, record) ? record.temporalFilename : std::string();
}

QStringList ComponentTest::partialFiles() const
{
    QStringList found;
    for (const std::string& root : {dataPath, in()}) {
        QDirIterator it(QString::fromStdString(root), {"*.part"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
    }
    return found;
}

std::vector<std::string> ComponentTest::logTexts()
{
    std::vector<std::string> texts;
    for (const std::string& line : HostLogger::instance().captured()) {
        const std::size_t arrow = line.find("] -> ");
        texts.push_back(arrow == std::string::npos ? line : line.substr(arrow + 5));
    }
    return texts;
}

void ComponentTest::clearLog()
{
    HostLogger::instance().clearCapture();
}
