// haul-testserver: serves one generated file over HTTP on 127.0.0.1 for demonstrations and
// benchmarks, narrating every request (with its Range header) on stdout.
#include "TestHttpServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <pthread.h>

int main(int argc, char** argv)
{
    // Blocked before any thread starts, so every thread inherits the mask and sigwait below
    // is the only place these stopSignals arrive.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Serves a generated file over HTTP on 127.0.0.1 until killed.");
    parser.addHelpOption();
    parser.addOption({"size", "Size of the file in bytes.", "bytes"});
    parser.addOption({"rate", "Bytes per second per connection, 0 = unlimited.", "bytes", "0"});
    parser.addOption({"seed", "Seed of the generated content.", "n", "1"});
    parser.addOption({"path", "Path the file is served on.", "path", "/file.bin"});
    parser.process(app);

    bool ok = false;
    const qint64 size = parser.value("size").toLongLong(&ok);
    if (!ok || size < 0) {
        std::fprintf(stderr, "haul-testserver: --size BYTES is required\n");
        return 2;
    }
    Route route;
    route.generatedSize = size;
    route.seed = parser.value("seed").toUInt();
    route.bytesPerSecond = parser.value("rate").toLongLong();
    QString path = parser.value("path");
    if (!path.startsWith('/')) {
        path.prepend('/');
    }

    TestHttpServer server;
    server.route(path, route);
    std::mutex outputMutex; // keeps the lines of different threads whole
    server.setRequestObserver([&outputMutex](const RecordedRequest& request) {
        const QByteArray range = request.hasHeader("Range") ? "Range: " + request.header("Range") : "no Range";
        std::lock_guard<std::mutex> lock(outputMutex);
        std::printf("REQUEST %s %s %s\n", request.method.constData(), request.target.constData(), range.constData());
        std::fflush(stdout);
    });
    if (!server.start()) {
        std::fprintf(stderr, "haul-testserver: cannot listen on 127.0.0.1\n");
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        std::printf("PORT %u\nURL %s\n", unsigned(server.port()), qPrintable(server.url(path)));
        std::fflush(stdout);
    }
    const QByteArray sha1 = TestHttpServer::generatedSha1(route.seed, size).toHex();
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        std::printf("SHA1 %s\n", sha1.constData());
        std::fflush(stdout);
    }

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    return 0;
}
