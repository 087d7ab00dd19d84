#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <string>

// Helpers shared by every test program.

// A fresh folder for one test, removed with everything in it when the Sandbox goes.
class Sandbox
{
public:
    Sandbox();
    // Ends in "/".
    const std::string& path() const { return root_; }
    std::string file(const std::string& name) const { return root_ + name; }

private:
    QTemporaryDir dir_;
    std::string root_;
};

// Polls condition every few milliseconds: true as soon as it holds, false after timeoutMs.
template <class Condition> bool waitUntil(Condition condition, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (condition())
            return true;
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(5);
    }
}

// Deterministic content addressable by offset, so a server can stream any range of a huge body
// without holding it and a test can recompute what it should have received.
void fillBody(quint32 seed, qint64 offset, char* out, qint64 length);
QByteArray body(qint64 size, quint32 seed, qint64 offset = 0);
std::string sha1Hex(const QByteArray& data);
// sha1Hex(body(size, seed)) without holding the body.
std::string bodySha1(qint64 size, quint32 seed);

// Creates missing parent folders; false when the file cannot be written.
bool writeFile(const std::string& path, const QByteArray& bytes);
// Empty when the file cannot be read.
QByteArray readFile(const std::string& path);
bool fileExists(const std::string& path);
qint64 fileSize(const std::string& path);
