#pragma once

#include "Haulwright.h"
#include "MessageCollector.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

// A component on the real bus, configuration, logger and SQLite store, with a
// sandboxed data directory and a client that collects the replies.
class ComponentTest : public ::testing::Test
{
protected:
    static const char* const replyTopic;

    void SetUp() override;
    void TearDown() override;

    // Creates and starts the component (stopped and destroyed by TearDown).
    Haulwright& startComponent();
    void destroyComponent();

    static boost::shared_ptr<LocalMessage> makeMessage(const std::string& type, const std::string& session,
                                                       boost::shared_ptr<ISerializable> payload = {},
                                                       int priority = 0,
                                                       const std::string& reply = replyTopic);
    static boost::shared_ptr<ISerializable> startPayload(const std::string& url, const std::string& folder = "",
                                                         const std::string& hash = "");
    // Posts on the component's request topic.
    void send(const boost::shared_ptr<LocalMessage>& message);
    // The first reply for session, or null after timeoutMs.
    boost::shared_ptr<LocalMessage> awaitReply(const std::string& session, int timeoutMs = 10000);
    std::vector<boost::shared_ptr<LocalMessage>> repliesFor(const std::string& session);

    static int codeOf(const boost::shared_ptr<LocalMessage>& message);
    static std::string textOf(const boost::shared_ptr<LocalMessage>& message);

    // Text parts (after "] -> ") of the component's captured log lines.
    std::vector<std::string> logTexts();
    void clearLog();

    std::string dataPath;
    std::string storeFile;
    QTemporaryDir sandbox;
    MessageCollector replies;
    std::unique_ptr<Haulwright> component;
};
