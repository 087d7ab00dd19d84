// haul-testserver: serves one generated file over HTTP on 127.0.0.1 for demonstrations,
// narrating every request (with its Range header) on stdout.
#include "Fixture.h"
#include "ScriptServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <pthread.h>

int main(int argc, char** argv)
{
    // Blocked before any thread starts, so sigwait below is the only place they arrive.
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
    const quint32 seed = parser.value("seed").toUInt();
    QString path = parser.value("path");
    if (!path.startsWith('/'))
        path.prepend('/');

    ScriptServer server;
    server.script(path, QString("size=%1&seed=%2&rate=%3").arg(size).arg(seed).arg(parser.value("rate").toLongLong()));
    std::mutex outputMutex; // keeps the lines of different threads whole
    server.onRequest([&outputMutex](const Request& request) {
        const QByteArray range = request.has("Range") ? "Range: " + request.header("Range") : "no Range";
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
        std::printf("PORT %u\nURL %s\nSHA1 %s\n", unsigned(server.port()), server.url(path).c_str(),
                    bodySha1(size, seed).c_str());
        std::fflush(stdout);
    }
    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    return 0;
}
