#include "GeneratedBody.h"
#include "MessageBus.h"
#include "StatusReportPayload.h"
#include "TransferFixture.h"
#include "WaitUntil.h"

#include <QFile>
#include <functional>
#include <set>

namespace {

const std::set<std::string> finalTypes{"WasFinished", "WasFailed", "WasAborted"};

std::string topicFor(const std::string& type)
{
    return "client://race/" + type;
}

// Sends an "Abort" the moment it hears that a download ended, as an impatient client would.
class AbortOnEnd : public IMessageSink
{
public:
    ~AbortOnEnd() override { MessageBus::instance().unsubscribe(this, ""); }

    void onMessage(boost::shared_ptr<LocalMessage> message) override
    {
        if (finalTypes.count(message->getMessageType()) == 0)
            return;
        CommonMessageProperties properties;
        properties.messageType = "Abort";
        properties.topic = "event://Client/Service/Download";
        properties.replyTopic = topicFor("Abort");
        properties.sessionId = message->getSessionId();
        MessageBus::instance().post(boost::shared_ptr<LocalMessage>(new LocalMessage(properties)));
    }
};

// An "Abort" racing a "Start" or "Resume" of the same session, so that it may arrive while the
// session is admitted but not yet registered, or while its completion has unregistered it but
// not yet removed its record. Whatever wins, the client hears of at most one end of the
// download (none only when its Start was refused), and nothing is left behind.
class AdmissionRaceTest : public TransferTest
{
protected:
    void SetUp() override
    {
        TransferTest::SetUp();
        Route route;
        route.generatedSize = size;
        route.seed = seed;
        server.route("/race.bin", route);
        hash = GeneratedBody::sha1(seed, size).toHex().toStdString();
        ASSERT_EQ(0, MessageBus::instance().subscribe(&answers, "client://race/*"));
    }

    void TearDown() override
    {
        MessageBus::instance().unsubscribe(&answers, "");
        TransferTest::TearDown();
    }

    void post(const std::string& type, const std::string& session, boost::shared_ptr<ISerializable> payload = {})
    {
        send(makeMessage(type, session, payload, 0, topicFor(type)));
    }

    // Runs one round: the two requests back to back, then waits until nothing runs and every
    // answer is in.
    void race(const std::string& first, const std::string& session, boost::shared_ptr<ISerializable> payload = {})
    {
        clearLog();
        server.clearRequests();
        post(first, session, payload);
        post("Abort", session);
        ASSERT_TRUE(
            waitUntil([this] { return component->activeCount() == 0 && component->reservationCount() == 0; }, 30000));
        ASSERT_TRUE(MessageBus::instance().waitIdle(10000));
    }

    std::size_t count(const std::string& session, const std::function<bool(const LocalMessage&)>& matches)
    {
        std::size_t found = 0;
        for (const auto& m : answers.messages())
            found += m->getSessionId().getValue() == session && matches(*m) ? 1 : 0;
        return found;
    }

    std::size_t finalsFor(const std::string& session)
    {
        return count(session, [](const LocalMessage& m) { return finalTypes.count(m.getMessageType()) != 0; });
    }

    std::size_t refusedBusy(const std::string& session, const std::string& type)
    {
        return count(session, [&type](const LocalMessage& m) {
            return m.getTopic() == topicFor(type) && m.getMessageType() == "DownloaderError" &&
                   dynamic_cast<const StatusReportPayload&>(*m.getPayload()).getCode() == 275;
        });
    }

    // The file a finished round leaves is removed, so that the next round downloads again.
    void removeFinishedFile() { QFile::remove(QString::fromStdString(inFolder() + "/race.bin")); }

    std::string describe(const std::string& session)
    {
        std::string text = session + " was answered:";
        for (const auto& m : answers.messages())
            if (m->getSessionId().getValue() == session)
                text += "\n  on " + m->getTopic() + ": " + m->getMessageType() + " " + std::to_string(codeOf(m)) + " " +
                        textOf(m);
        text += "\nserver saw:";
        for (const RecordedRequest& request : server.requests())
            text += "\n  " + request.method.toStdString() + " " + request.path.toStdString() +
                    " Range: " + request.header("Range").toStdString();
        text += "\ncomponent log:";
        for (const std::string& line : logTexts())
            text += "\n  " + line;
        return text;
    }

    void expectNothingLeft(const std::string& session)
    {
        HaulwrightPersistedRequest record;
        EXPECT_FALSE(persisted(session, record)) << describe(session);
        EXPECT_TRUE(partialFiles().isEmpty()) << describe(session);
    }

    MessageCollector answers;
    const qint64 size = 20000;
    const quint32 seed = 77;
    const int rounds = 60;
    std::string hash;
};

} // namespace

TEST_F(AdmissionRaceTest, AbortRacingAResumeEndsTheDownloadOnce)
{
    startComponent();
    for (int round = 0; round < rounds; ++round) {
        const std::string session = "rr" + std::to_string(round);
        const std::string partial = inFolder() + "/" + session + ".part";
        QFile file(QString::fromStdString(partial));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(GeneratedBody::content(seed, 0, 1000));
        file.close();
        ASSERT_EQ(0, component->persistRequest(session, {inFolder(), url("/race.bin"), hash, partial}));

        race("Resume", session);
        // The download was paused: the Abort alone ends it, if nothing else does.
        ASSERT_EQ(1u, finalsFor(session)) << describe(session);
        expectNothingLeft(session);
        removeFinishedFile();
    }
}

TEST_F(AdmissionRaceTest, AbortRacingAStartEndsTheDownloadOnce)
{
    startComponent();
    for (int round = 0; round < rounds; ++round) {
        const std::string session = "sr" + std::to_string(round);
        race("Start", session, startPayload(url("/race.bin"), inFolder(), hash));
        const std::size_t expected = refusedBusy(session, "Start") == 0 ? 1u : 0u;
        ASSERT_EQ(expected, finalsFor(session)) << describe(session);
        expectNothingLeft(session);
        removeFinishedFile();
    }
}

TEST_F(AdmissionRaceTest, AbortSentOnHearingTheEndIsNotASecondEnd)
{
    AbortOnEnd impatient;
    ASSERT_EQ(0, MessageBus::instance().subscribe(&impatient, topicFor("Start")));
    startComponent();
    for (int round = 0; round < rounds / 3; ++round) {
        const std::string session = "er" + std::to_string(round);
        clearLog();
        server.clearRequests();
        post("Start", session, startPayload(url("/race.bin"), inFolder(), hash));
        ASSERT_TRUE(answers.waitFor(
            [&session](const LocalMessage& m) {
                return m.getSessionId().getValue() == session && m.getTopic() == topicFor("Abort");
            },
            10000));
        ASSERT_TRUE(MessageBus::instance().waitIdle(10000));
        // The download had ended: the Abort finds nothing to abort.
        ASSERT_EQ(1u, finalsFor(session)) << describe(session);
        expectNothingLeft(session);
        removeFinishedFile();
    }
}
