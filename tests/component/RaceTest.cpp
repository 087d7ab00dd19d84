// Requests racing each other and the component's stop: whatever wins, a download ends at most
// once, and what is not ended stays resumable.
#include "ComponentFixture.h"
#include "Configuration.h"
#include "MessageBus.h"

#include <QFile>
#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>

namespace {

// Answers on a topic per request type, so a test can tell whose request was refused.
class RaceTest : public ComponentTest
{
protected:
    static bool isEnd(const Message& m) { return m->getMessageType().rfind("Was", 0) == 0; }
    static std::string topicFor(const std::string& type) { return "client://race/" + type; }
    void SetUp() override
    {
        ComponentTest::SetUp();
        ASSERT_EQ(0, MessageBus::instance().subscribe(&replies, "client://race/*"));
    }
    void post(const std::string& type, const std::string& session, boost::shared_ptr<ISerializable> payload = {})
    {
        send(makeMessage(type, session, payload, 0, topicFor(type)));
    }
    std::vector<Message> endsOf(const std::string& session)
    {
        std::vector<Message> ends = repliesFor(session);
        ends.erase(std::remove_if(ends.begin(), ends.end(), [](const Message& m) { return !isEnd(m); }), ends.end());
        return ends;
    }
    void settle()
    {
        ASSERT_TRUE(waitUntil([&] { return component->activeCount() + component->reservationCount() == 0; }, 60000));
        ASSERT_TRUE(MessageBus::instance().waitIdle(30000));
    }
    std::string history(const std::string& session)
    {
        std::string text = session + " was answered:";
        for (const Message& m : repliesFor(session))
            text += "\n  on " + m->getTopic() + ": " + m->getMessageType() + " " + std::to_string(codeOf(m));
        return text;
    }
    void expectEndsAndNothingLeft(const std::string& session, std::size_t ends)
    {
        ASSERT_EQ(ends, endsOf(session).size()) << history(session);
        EXPECT_EQ("", recordedPartial(session)) << history(session);
        EXPECT_TRUE(partialFiles().isEmpty()) << history(session);
        QFile::remove(QString::fromStdString(in("race.bin")));
    }
    std::string raceUrl() { return server.url("/race.bin?size=20000&seed=7"); }
    const std::string raceHash = sha1Hex(body(20000, 7));
};

} // namespace

TEST_F(RaceTest, AbortRacingAResumeOrAStartEndsTheDownloadOnce)
{
    startComponent();
    for (int round = 0; round < 40; ++round) {
        const std::string session = "r" + std::to_string(round);
        if (round % 2 == 0) {
            ASSERT_TRUE(writeFile(in(session + ".part"), body(1000, 7)));
            ASSERT_EQ(0, component->persistRequest(session, {in(), raceUrl(), raceHash, in(session + ".part")}));
            post("Resume", session);
        } else {
            post("Start", session, startPayload(raceUrl(), in(), raceHash));
        }
        post("Abort", session);
        settle();
        // Only a Start refused as busy leaves nothing to end: a paused download has its record.
        const auto answers = repliesFor(session);
        const bool busy = std::any_of(answers.begin(), answers.end(), [](const Message& m) {
            return m->getTopic() == topicFor("Start") && codeOf(m) == 275;
        });
        expectEndsAndNothingLeft(session, busy ? 0 : 1);
    }
}

TEST_F(RaceTest, AbortSentOnHearingTheEndIsNotASecondEnd)
{
    // Sent while the end is being reported, before the record is removed: as early as a client could.
    MessageBus::instance().setPostFilter([](const LocalMessage& m) {
        if (m.getMessageType().rfind("Was", 0) == 0)
            MessageBus::instance().post(makeMessage("Abort", m.getSessionId().getValue(), {}, 0, topicFor("Abort")));
        return true;
    });
    startComponent();
    for (int round = 0; round < 10; ++round) {
        const std::string session = "e" + std::to_string(round);
        post("Start", session, startPayload(raceUrl(), in(), raceHash));
        // Its end and the answer to the Abort.
        ASSERT_TRUE(waitUntil([&] { return repliesFor(session).size() == 2; }));
        settle();
        expectEndsAndNothingLeft(session, 1);
    }
}

TEST_F(ComponentTest, StopPausesEachRunningTransferOnceAndANewComponentFinishesThem)
{
    // Each its own content, so a mix-up of partial files shows; slow, so only a pause ends them.
    const qint64 size = 2000000;
    const auto session = [](int i) { return "s" + std::to_string(i); };
    startComponent();
    for (int i = 0; i < 3; ++i)
        start(session(i), server.url(QString("/%1?size=%2&seed=%1&rate=400000").arg(i).arg(size)), in(),
              bodySha1(size, i));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(waitUntil([&] { return fileSize(recordedPartial(session(i))) > 0; }, 30000)) << i;
    component->stop();
    // At once: stop must not return while a transfer is still registered.
    EXPECT_EQ(0u, component->activeCount() + component->reservationCount());
    std::vector<qint64> kept;
    for (int i = 0; i < 3; ++i) {
        kept.push_back(fileSize(recordedPartial(session(i))));
        ASSERT_GT(kept.back(), 0) << "no partial file kept for " << i;
    }
    ASSERT_TRUE(MessageBus::instance().waitIdle(5000));
    // A pause is never answered; a second effect (a restart, a completion) would be.
    EXPECT_TRUE(replies.messages().empty());
    EXPECT_EQ(3, server.requests().size());
    for (int i = 0; i < 3; ++i) {
        // Nothing writes to a paused transfer's file any more.
        EXPECT_EQ(body(kept[i], i), readFile(recordedPartial(session(i)))) << i;
    }
    destroyComponent();

    startComponent();
    server.clearRequests();
    for (int i = 0; i < 3; ++i)
        send("Resume", session(i));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(isReport(awaitReply(session(i)), "WasFinished", 0, in(std::to_string(i)))) << i;
        EXPECT_EQ(bodySha1(size, i), sha1Hex(readFile(in(std::to_string(i))))) << i;
    }
    ASSERT_TRUE(MessageBus::instance().waitIdle(5000));
    ASSERT_EQ(3, server.requests().size());
    for (const Request& request : server.requests())
        EXPECT_EQ("bytes=" + QByteArray::number(kept[request.path.mid(1).toInt()]) + "-", request.header("Range"));
    EXPECT_EQ(3u, replies.messages().size());
    EXPECT_TRUE(partialFiles().isEmpty()) << partialFiles().join(", ").toStdString();
}

// Twenty downloads against a limit of five, with pauses, resumes and aborts thrown at them from
// several threads, and a client that asks again when its Start is refused. Then the client takes
// up whatever did not end: each download must end exactly once, complete where it finished.
TEST_F(RaceTest, RacingRequestsEndEachDownloadOnceOrLeaveItPausedAndResumable)
{
    const int count = 20;
    const auto session = [](int i) { return "st" + std::to_string(i); };
    const auto size = [](int i) { return qint64(200000 + 20000 * i); };
    const auto start = [&](int i) {
        const QString query = QString("/%1?size=%2&seed=%1&rate=%3").arg(i).arg(size(i)).arg(200000 + 20000 * (i % 5));
        post("Start", session(i), startPayload(server.url(query), in(), bodySha1(size(i), i)));
    };
    Configuration::instance().set("Downloader/MaxDownloads", "5");
    startComponent();
    std::atomic<bool> agitating{true};
    std::thread retrier([&] {
        for (std::size_t seen = 0; agitating; QThread::msleep(20))
            for (const std::vector<Message> answers = replies.messages(); seen < answers.size(); ++seen)
                if (answers[seen]->getTopic() == topicFor("Start") && !isEnd(answers[seen]))
                    start(std::stoi(answers[seen]->getSessionId().getValue().substr(2)));
    });
    for (int i = 0; i < count; ++i)
        start(i);
    std::vector<std::thread> agitators;
    for (unsigned t = 0; t < 3; ++t)
        agitators.emplace_back([&, t] {
            std::mt19937 random(20240611 + t);
            std::discrete_distribution<int> action{45, 40, 15};
            for (int n = 0; n < 25; ++n) {
                QThread::msleep(std::uniform_int_distribution<unsigned>(20, 300)(random));
                post(std::vector<std::string>{"Pause", "Resume", "Abort"}[action(random)],
                     session(std::uniform_int_distribution<int>(0, count - 1)(random)));
            }
        });
    for (std::thread& agitator : agitators)
        agitator.join();
    agitating = false;
    retrier.join();
    settle();
    // Refusals that racing requests meet; none of them ends a download.
    for (const Message& m : replies.messages())
        EXPECT_TRUE(isEnd(m) || std::set<int>({257, 269, 270, 272, 275}).count(codeOf(m)))
            << history(m->getSessionId().getValue());

    // Taken up one batch at a time, so that no request races an end on its way to the client.
    for (int batch = 0; batch < 20; ++batch) {
        for (int i = 0; i < count; ++i)
            if (endsOf(session(i)).empty())
                recordedPartial(session(i)).empty() ? start(i) : post("Resume", session(i));
        settle();
    }
    for (int i = 0; i < count; ++i) {
        const std::vector<Message> ends = endsOf(session(i));
        ASSERT_EQ(1u, ends.size()) << history(session(i));
        if (ends.front()->getMessageType() != "WasAborted") {
            EXPECT_TRUE(isReport(ends.front(), "WasFinished", 0, in(std::to_string(i)))) << history(session(i));
            EXPECT_EQ(bodySha1(size(i), i), sha1Hex(readFile(in(std::to_string(i)))));
        }
        EXPECT_EQ("", recordedPartial(session(i)));
    }
    EXPECT_TRUE(partialFiles().isEmpty()) << partialFiles().join(", ").toStdString();
}
