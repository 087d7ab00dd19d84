#include "ComponentFixture.h"

#include "Configuration.h"
#include "HostLogger.h"
#include "MessageBus.h"
#include "StartRequestPayload.h"
#include "StatusReportPayload.h"

#include <QDir>

const char* const ComponentTest::replyTopic = "client://tests/replies";

void ComponentTest::SetUp()
{
    MessageBus::instance().restart();
    MessageBus::instance().setPostFilter({});
    Configuration::instance().clear();
    ASSERT_TRUE(sandbox.isValid());
    dataPath = sandbox.path().toStdString() + "/data/";
    storeFile = dataPath + "store/DownloadRequests.sqlite";
    QDir().mkpath(QString::fromStdString(dataPath + "download"));
    Configuration::instance().set("Directories/DataPath", dataPath);
    HostLogger::instance().setQuiet(true);
    HostLogger::instance().startCapture();
    HostLogger::instance().clearCapture();
    MessageBus::instance().subscribe(&replies, replyTopic);
}

void ComponentTest::TearDown()
{
    destroyComponent();
    MessageBus::instance().unsubscribe(&replies, "");
    MessageBus::instance().setPostFilter({});
    HostLogger::instance().stopCapture();
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

boost::shared_ptr<LocalMessage> ComponentTest::makeMessage(const std::string& type, const std::string& session,
                                                           boost::shared_ptr<ISerializable> payload, int priority,
                                                           const std::string& reply)
{
    CommonMessageProperties properties;
    properties.messageType = type;
    properties.priority = priority;
    properties.topic = "event://Client/Service/Download";
    properties.replyTopic = reply;
    properties.sessionId = UUId(session);
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties));
    message->setPayload(payload);
    return message;
}

boost::shared_ptr<ISerializable> ComponentTest::startPayload(const std::string& url, const std::string& folder,
                                                             const std::string& hash)
{
    return boost::shared_ptr<ISerializable>(new StartRequestPayload(url, "", "", folder, false, hash));
}

void ComponentTest::send(const boost::shared_ptr<LocalMessage>& message)
{
    ASSERT_EQ(0, MessageBus::instance().post(message));
}

boost::shared_ptr<LocalMessage> ComponentTest::awaitReply(const std::string& session, int timeoutMs)
{
    const auto matches = [&session](const LocalMessage& m) { return m.getSessionId().getValue() == session; };
    if (!replies.waitFor(matches, timeoutMs))
        return {};
    for (const auto& message : replies.messages())
        if (matches(*message))
            return message;
    return {};
}

std::vector<boost::shared_ptr<LocalMessage>> ComponentTest::repliesFor(const std::string& session)
{
    std::vector<boost::shared_ptr<LocalMessage>> found;
    for (const auto& message : replies.messages())
        if (message->getSessionId().getValue() == session)
            found.push_back(message);
    return found;
}

int ComponentTest::codeOf(const boost::shared_ptr<LocalMessage>& message)
{
    return dynamic_cast<const StatusReportPayload&>(*message->getPayload()).getCode();
}

std::string ComponentTest::textOf(const boost::shared_ptr<LocalMessage>& message)
{
    return dynamic_cast<const StatusReportPayload&>(*message->getPayload()).getMessage();
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

void ComponentTest::clearLog() { HostLogger::instance().clearCapture(); }
