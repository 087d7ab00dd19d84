#pragma once

#include "ComponentFixture.h"
#include "TestHttpServer.h"

#include <QByteArray>
#include <QSet>
#include <QString>

// A component and a scripted loopback HTTP server; requests go through the bus.
class TransferTest : public ComponentTest
{
protected:
    void SetUp() override;
    void TearDown() override;

    std::string url(const QString& path) const { return server.url(path).toStdString(); }
    // Posts a Start and waits for its final report (null on timeout).
    boost::shared_ptr<LocalMessage> download(const std::string& session, const std::string& address,
                                             const std::string& folder = "", const std::string& hash = "",
                                             int timeoutMs = 60000);
    boost::shared_ptr<LocalMessage> startRequest(const std::string& session, const std::string& address,
                                                 const std::string& folder = "", const std::string& hash = "",
                                                 const std::string& user = "", const std::string& password = "");
    // Waits until the session is registered and the server saw a request, so pause/abort meet a running transfer.
    bool waitRunning(const std::string& session, int timeoutMs = 10000);
    // Waits until the partial file holds at least bytes.
    bool waitPartial(const std::string& path, qint64 bytes, int timeoutMs = 20000);

    // The persisted record of session, or false when there is none.
    bool persisted(const std::string& session, HaulwrightPersistedRequest& record);
    // Every *.part file under the data directory's download folder and the sandbox's "in" folder.
    QStringList partialFiles() const;
    std::string inFolder() const;

    // Distinct paths the server was asked for (Qt may ask for one twice on a new connection).
    QSet<QString> requestedPaths() const;
    static QByteArray body(qint64 size, quint32 seed);
    static std::string sha1Hex(const QByteArray& data);
    static QByteArray readAll(const std::string& path);

    TestHttpServer server;
};
