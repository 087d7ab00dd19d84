#include "Configuration.h"
#include "GeneratedBody.h"
#include "MessageBus.h"
#include "TransferFixture.h"
#include "WaitUntil.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace {

const char* const clientTopics = "client://stress/*";
const std::set<std::string> finalTypes{"WasFinished", "WasFailed", "WasAborted"};
// Refusals a client meets when its requests race each other; none of them ends a download.
const std::set<int> refusals{257, 269, 270, 272, 275};

std::string topicFor(const std::string& type)
{
    return "client://stress/" + type;
}

// Twenty downloads against a limit of five, with pauses, resumes and aborts thrown at them from
// several threads. Whatever the interleaving, each download must end exactly once or stay
// paused with its record and partial file, and the component must end with an empty registry.
class StressTest : public TransferTest
{
protected:
    static const int sessionCount = 20;
    static const unsigned seed = 20240611;

    void SetUp() override
    {
        TransferTest::SetUp();
        Configuration::instance().set("Downloader/MaxDownloads", "5");
        for (int i = 0; i < sessionCount; ++i) {
            Route route;
            route.generatedSize = sizeOf(i);
            route.seed = seedOf(i);
            route.bytesPerSecond = 200000 + 20000 * (i % 5);
            server.route(pathOf(i), route);
        }
        ASSERT_EQ(0, MessageBus::instance().subscribe(&client, clientTopics));
    }

    void TearDown() override
    {
        stopRetrier();
        MessageBus::instance().unsubscribe(&client, "");
        TransferTest::TearDown();
    }

    static std::string sessionOf(int i) { return "st" + std::to_string(100 + i).substr(1); }
    static QString pathOf(int i) { return QString("/stress/%1.bin").arg(i); }
    static qint64 sizeOf(int i) { return 200000 + 20000 * i; }
    static quint32 seedOf(int i) { return 500 + static_cast<quint32>(i); }
    std::string finalPathOf(int i) const { return inFolder() + "/" + std::to_string(i) + ".bin"; }

    void post(const std::string& type, const std::string& session, boost::shared_ptr<ISerializable> payload = {})
    {
        {
            std::lock_guard<std::mutex> lock(journalMutex);
            journal[session].push_back(std::to_string(clock.elapsed()) + " ms: sent " + type);
        }
        send(makeMessage(type, session, payload, 0, topicFor(type)));
    }

    void postStart(int i)
    {
        post("Start", sessionOf(i),
             startPayload(url(pathOf(i)), inFolder(), GeneratedBody::sha1(seedOf(i), sizeOf(i)).toHex().toStdString()));
    }

    // Answers a refused Start (and, once asked to, a refused Resume) by asking again a little
    // later, as a client that wants its download would.
    void startRetrier()
    {
        retrier = std::thread([this] {
            std::mt19937 random(seed + 99);
            std::uniform_int_distribution<int> delay(20, 120);
            std::multimap<qint64, std::pair<std::string, std::string>> due;
            std::size_t seen = 0;
            while (!retrierStop) {
                const auto messages = client.messages();
                for (; seen < messages.size(); ++seen) {
                    const auto& m = messages[seen];
                    if (m->getMessageType() != "DownloaderError")
                        continue;
                    const bool start = m->getTopic() == topicFor("Start");
                    // Busy (275): a racing Resume or Abort held the session for a moment.
                    const bool retryStart = start && (codeOf(m) == 257 || codeOf(m) == 275);
                    const bool retryResume = retryResumes && m->getTopic() == topicFor("Resume") && codeOf(m) == 257;
                    if (retryStart || retryResume)
                        due.emplace(clock.elapsed() + delay(random),
                                    std::make_pair(start ? "Start" : "Resume", m->getSessionId().getValue()));
                }
                while (!due.empty() && due.begin()->first <= clock.elapsed()) {
                    const auto request = due.begin()->second;
                    due.erase(due.begin());
                    if (request.first == "Start")
                        postStart(indexOf(request.second));
                    else
                        post("Resume", request.second);
                }
                retrying = !due.empty();
                QThread::msleep(5);
            }
        });
    }

    void stopRetrier()
    {
        retrierStop = true;
        if (retrier.joinable())
            retrier.join();
    }

    static int indexOf(const std::string& session) { return std::stoi(session.substr(2)); }

    std::vector<boost::shared_ptr<LocalMessage>> answersFor(const std::string& session)
    {
        std::vector<boost::shared_ptr<LocalMessage>> found;
        for (const auto& m : client.messages())
            if (m->getSessionId().getValue() == session)
                found.push_back(m);
        return found;
    }

    std::vector<boost::shared_ptr<LocalMessage>> finalsFor(const std::string& session)
    {
        std::vector<boost::shared_ptr<LocalMessage>> found;
        for (const auto& m : answersFor(session))
            if (finalTypes.count(m->getMessageType()) != 0)
                found.push_back(m);
        return found;
    }

    // Every record in the store, by session.
    std::map<std::string, HaulwrightPersistedRequest> records()
    {
        std::map<std::string, HaulwrightPersistedRequest> found;
        KeyValueSchema store = PersistentManager().initLocal("DownloadRequests", "", "", "");
        for (const std::string& key : store.keys()) {
            const std::vector<std::string> texts = store.getRawData(key);
            EXPECT_EQ(1u, texts.size()) << key;
            if (texts.size() == 1)
                unwrapValue(texts.front(), found[key]);
        }
        return found;
    }

    // What the client sent and heard for session, in order, for failure messages.
    std::string history(const std::string& session)
    {
        std::ostringstream text;
        text << session << ":\n";
        {
            std::lock_guard<std::mutex> lock(journalMutex);
            for (const std::string& line : journal[session])
                text << "  " << line << "\n";
        }
        for (const auto& m : answersFor(session))
            text << "  answer on " << m->getTopic() << ": " << m->getMessageType() << " " << codeOf(m) << " "
                 << textOf(m) << "\n";
        return text.str();
    }

    MessageCollector client;
    QElapsedTimer clock;
    std::thread retrier;
    std::atomic<bool> retrierStop{false};
    std::atomic<bool> retrying{false};
    std::atomic<bool> retryResumes{false};
    std::mutex journalMutex; // guards journal
    std::map<std::string, std::vector<std::string>> journal;
};

} // namespace

TEST_F(StressTest, RacingRequestsEndEachDownloadOnceOrLeaveItPausedAndResumable)
{
    clock.start();
    startComponent();
    ASSERT_EQ(5u, component->getMaxDownloads());
    startRetrier();
    for (int i = 0; i < sessionCount; ++i)
        postStart(i);

    std::vector<std::thread> agitators;
    for (unsigned t = 0; t < 3; ++t) {
        agitators.emplace_back([this, t] {
            std::mt19937 random(seed + t);
            std::uniform_int_distribution<int> pick(0, sessionCount - 1);
            std::uniform_int_distribution<int> pause(20, 350);
            std::discrete_distribution<int> action{45, 40, 15};
            for (int n = 0; n < 30; ++n) {
                QThread::msleep(static_cast<unsigned long>(pause(random)));
                const std::string session = sessionOf(pick(random));
                post(std::vector<std::string>{"Pause", "Resume", "Abort"}[action(random)], session);
            }
        });
    }
    for (std::thread& agitator : agitators)
        agitator.join();

    // Every Start got in at last: the session has its record or has already ended.
    const auto begun = [this] {
        const auto stored = records();
        for (int i = 0; i < sessionCount; ++i)
            if (stored.count(sessionOf(i)) == 0 && finalsFor(sessionOf(i)).empty())
                return false;
        return !retrying;
    };
    ASSERT_TRUE(waitUntil(begun, 60000));
    // Deliveries are taken in the order posted: once this is answered, every request before it
    // has reached the component.
    post("Pause", "marker");
    ASSERT_TRUE(client.waitFor([](const LocalMessage& m) { return m.getSessionId().getValue() == "marker"; }, 10000));
    ASSERT_TRUE(
        waitUntil([this] { return component->activeCount() == 0 && component->reservationCount() == 0; }, 60000));
    ASSERT_TRUE(MessageBus::instance().waitIdle(10000));
    const qint64 agitatedMs = clock.elapsed();

    std::size_t refusedStarts = 0;
    for (const auto& m : client.messages()) {
        if (m->getMessageType() == "DownloaderError") {
            EXPECT_EQ(1u, refusals.count(codeOf(m))) << history(m->getSessionId().getValue());
            refusedStarts += m->getTopic() == topicFor("Start") && codeOf(m) == 257 ? 1 : 0;
        }
    }
    // Twenty Starts against five places: at least fifteen were turned away at first.
    EXPECT_GE(refusedStarts, 15u);

    const auto stored = records();
    std::set<std::string> named;
    std::vector<std::string> paused;
    int finished = 0;
    int aborted = 0;
    for (int i = 0; i < sessionCount; ++i) {
        const std::string session = sessionOf(i);
        SCOPED_TRACE(history(session));
        const auto finals = finalsFor(session);
        ASSERT_LE(finals.size(), 1u);
        const auto record = stored.find(session);
        if (finals.empty()) {
            // Paused: still resumable from its record and partial file.
            ASSERT_NE(stored.end(), record);
            EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(record->second.temporalFilename)));
            named.insert(record->second.temporalFilename);
            paused.push_back(session);
            continue;
        }
        EXPECT_EQ(stored.end(), record);
        const std::string type = finals.front()->getMessageType();
        if (type == "WasFinished") {
            ++finished;
            EXPECT_EQ(finalPathOf(i), textOf(finals.front()));
            EXPECT_EQ(GeneratedBody::content(seedOf(i), 0, sizeOf(i)), readAll(finalPathOf(i)));
        } else {
            ++aborted;
            EXPECT_EQ("WasAborted", type) << codeOf(finals.front()) << " " << textOf(finals.front());
        }
    }
    EXPECT_EQ(paused.size(), stored.size()) << "records of ended downloads were left behind";
    for (const QString& file : partialFiles())
        EXPECT_EQ(1u, named.count(file.toStdString())) << "orphaned partial file " << file.toStdString();
    std::printf("after %lld ms: %d finished, %d aborted, %zu paused, %zu Starts refused\n",
                static_cast<long long>(agitatedMs), finished, aborted, paused.size(), refusedStarts);

    // A client picks its paused downloads up again; all of them must now finish.
    retryResumes = true;
    for (const std::string& session : paused)
        post("Resume", session);
    const auto allEnded = [&] {
        for (const std::string& session : paused)
            if (finalsFor(session).empty())
                return false;
        return true;
    };
    ASSERT_TRUE(waitUntil(allEnded, 60000));
    ASSERT_TRUE(
        waitUntil([this] { return component->activeCount() == 0 && component->reservationCount() == 0; }, 30000));
    ASSERT_TRUE(MessageBus::instance().waitIdle(10000));
    for (const std::string& session : paused) {
        SCOPED_TRACE(history(session));
        const auto finals = finalsFor(session);
        ASSERT_EQ(1u, finals.size());
        EXPECT_EQ("WasFinished", finals.front()->getMessageType()) << textOf(finals.front());
        const int i = indexOf(session);
        EXPECT_EQ(GeneratedBody::content(seedOf(i), 0, sizeOf(i)), readAll(finalPathOf(i)));
    }
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(partialFiles().isEmpty()) << partialFiles().join(", ").toStdString();
    EXPECT_LT(clock.elapsed(), 60000);
}
