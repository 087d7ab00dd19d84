#include "ConfigNumber.h"
#include "Configuration.h"
#include "DispatcherFilterGuard.h"
#include "Downloader.h"
#include "StatusReportPayload.h"
#include "TransferFixture.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QMetaMethod>
#include <QTimer>
#include <thread>

using DownloaderObjectTest = ComponentTest;

TEST_F(DownloaderObjectTest, MetaDataNamesFiveSlotsInOrderAndCastsToTheInterface)
{
    Haulwright& haul = startComponent();
    IDownloader* transfer = haul.createDownloader(dataPath + "m.part", makeMessage("Start", "m"));
    auto* object = dynamic_cast<Downloader*>(transfer);
    ASSERT_NE(nullptr, object);
    const QMetaObject* meta = object->metaObject();
    EXPECT_STREQ("Downloader", meta->className());
    QStringList names;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        if (meta->method(i).methodType() == QMetaMethod::Slot)
            names << QString::fromLatin1(meta->method(i).methodSignature());
    // Qt 5 reads qint64 back under its registered name, qlonglong.
    EXPECT_EQ(QStringList({"onFinishSlot()", "onReadyRead()", "onSslErrors(QNetworkReply*,QList<QSslError>)",
                           "onDownloadProgress(qlonglong,qlonglong)", "onRequestTimeout()"}),
              names);
    EXPECT_EQ(static_cast<void*>(transfer), object->qt_metacast("IDownloader"));
    EXPECT_EQ(static_cast<void*>(object), object->qt_metacast("Downloader"));
    delete transfer;
}

TEST_F(DownloaderObjectTest, DefaultsBeforeStartAndConfigurationFallbacks)
{
    Configuration::instance().set("Downloader/StatusInterval", "abc");
    Configuration::instance().unset("Downloader/RequestTimeout");
    Haulwright& haul = startComponent();
    // A payload of another class leaves every request field empty.
    auto message = makeMessage("Start", "d", boost::shared_ptr<ISerializable>(new StatusReportPayload(1, "x")));
    std::unique_ptr<IDownloader> transfer(haul.createDownloader(dataPath + "d.part", message));
    auto* object = dynamic_cast<Downloader*>(transfer.get());
    EXPECT_EQ(2000u, object->getStatusInterval());
    EXPECT_EQ(60000, object->getRequestTimeout());
    EXPECT_EQ(NotStarted, transfer->getState());
    EXPECT_EQ(511, transfer->getResultCode());
    EXPECT_EQ("NotStarted", transfer->getStatusMessage());
    EXPECT_EQ("", transfer->getServerFilename());
    EXPECT_EQ(dataPath + "d.part", transfer->getTemporalFilename());
    EXPECT_EQ(message, transfer->getRequestMessage());
    transfer->pause();
    transfer->abort();
    EXPECT_EQ(ActionStart, object->getAction());
    EXPECT_EQ(NotStarted, transfer->getState());

    Configuration::instance().set("Downloader/StatusInterval", "0");
    Configuration::instance().set("Downloader/RequestTimeout", "250");
    std::unique_ptr<IDownloader> second(haul.createDownloader(dataPath + "e.part", message));
    EXPECT_EQ(0u, dynamic_cast<Downloader*>(second.get())->getStatusInterval());
    EXPECT_EQ(250, dynamic_cast<Downloader*>(second.get())->getRequestTimeout());
}


TEST_F(DownloaderObjectTest, FilterGuardBracketsTheLoopOnItsThread)
{
    QEventLoop loop; // makes sure this thread has a dispatcher
    ASSERT_NE(nullptr, QAbstractEventDispatcher::instance());
    EXPECT_FALSE(DispatcherFilterGuard::isInstalledHere());
    {
        DispatcherFilterGuard guard;
        EXPECT_TRUE(DispatcherFilterGuard::isInstalledHere());
        // Messages still flow while the filter is in place.
        bool fired = false;
        QTimer::singleShot(1, [&] {
            fired = true;
            loop.quit();
        });
        loop.exec();
        EXPECT_TRUE(fired);
    }
    EXPECT_FALSE(DispatcherFilterGuard::isInstalledHere());
    // Another thread without a dispatcher: constructing and destroying the guard does nothing.
    std::thread([] {
        EXPECT_EQ(nullptr, QAbstractEventDispatcher::instance());
        DispatcherFilterGuard guard;
        EXPECT_FALSE(DispatcherFilterGuard::isInstalledHere());
    }).join();
}

TEST(ConfigNumberTest, TextsThatAreNoNumberOfTheTypeFallBack)
{
    EXPECT_EQ(250u, configNumber<quint32>("250", 7));
    EXPECT_EQ(7u, configNumber<quint32>("-1", 7));
    EXPECT_EQ(7u, configNumber<quint32>("4294967296", 7));
    EXPECT_EQ(7u, configNumber<quint32>(" 5", 7));
    EXPECT_EQ(-3, configNumber<qint32>("-3", 7));
    EXPECT_EQ(7, configNumber<qint32>("1e3", 7));
    EXPECT_EQ(7, configNumber<qint32>("", 7));
    EXPECT_EQ(0u, maxDownloadsFromText("0", 50));
    EXPECT_EQ(50u, maxDownloadsFromText("zero", 50));
}
