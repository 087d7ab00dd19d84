#include "TransferFixture.h"

#include "GeneratedBody.h"
#include "HostLogger.h"
#include "MessageBus.h"
#include "StartRequestPayload.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

void TransferTest::SetUp()
{
    ComponentTest::SetUp();
    ASSERT_TRUE(server.start());
    QDir().mkpath(QString::fromStdString(inFolder()));
}

void TransferTest::TearDown()
{
    ComponentTest::TearDown();
    server.stop();
}

std::string TransferTest::inFolder() const { return sandbox.path().toStdString() + "/in"; }

boost::shared_ptr<LocalMessage> TransferTest::startRequest(const std::string& session, const std::string& address,
                                                           const std::string& folder, const std::string& hash,
                                                           const std::string& user, const std::string& password)
{
    boost::shared_ptr<ISerializable> payload(
        new StartRequestPayload(address, user, password, folder, !user.empty(), hash));
    auto message = makeMessage("Start", session, payload);
    send(message);
    return message;
}

boost::shared_ptr<LocalMessage> TransferTest::download(const std::string& session, const std::string& address,
                                                       const std::string& folder, const std::string& hash,
                                                       int timeoutMs)
{
    startRequest(session, address, folder, hash);
    auto reply = awaitReply(session, timeoutMs);
    // The report goes out before the record is removed; let the handler finish.
    MessageBus::instance().waitIdle(timeoutMs);
    return reply;
}

bool TransferTest::waitRunning(const std::string& session, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (component && component->isRegistered(UUId(session)) && !server.requests().isEmpty())
            return true;
        QThread::msleep(5);
    }
    return false;
}

bool TransferTest::waitPartial(const std::string& path, qint64 bytes, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (QFileInfo(QString::fromStdString(path)).size() >= bytes)
            return true;
        QThread::msleep(5);
    }
    return false;
}

bool TransferTest::persisted(const std::string& session, HaulwrightPersistedRequest& record)
{
    // A store connection of the test's own: reading through the component would log a miss.
    KeyValueSchema store = PersistentManager().initLocal("DownloadRequests", "", "", "");
    const std::vector<std::string> texts = store.getRawData(session);
    if (texts.size() != 1)
        return false;
    return unwrapValue(texts.front(), record);
}

QStringList TransferTest::partialFiles() const
{
    QStringList found;
    for (const std::string& root : {dataPath, inFolder()}) {
        QDirIterator it(QString::fromStdString(root), {"*.part"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
    }
    return found;
}

QByteArray TransferTest::body(qint64 size, quint32 seed) { return GeneratedBody::content(seed, 0, size); }

std::string TransferTest::sha1Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex().toStdString();
}

QByteArray TransferTest::readAll(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QSet<QString> TransferTest::requestedPaths() const
{
    QSet<QString> paths;
    for (const RecordedRequest& request : server.requests())
        paths.insert(request.path);
    return paths;
}

Route TransferTest::generated(qint64 size, quint32 seed)
{
    Route route;
    route.generatedSize = size;
    route.seed = seed;
    return route;
}

bool TransferTest::writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}
