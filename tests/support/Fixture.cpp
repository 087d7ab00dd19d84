#include "Fixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <stdexcept>

Sandbox::Sandbox() : dir_(QDir::tempPath() + "/haul-test-XXXXXX")
{
    if (!dir_.isValid())
        throw std::runtime_error("cannot create a sandbox folder");
    root_ = dir_.path().toStdString() + "/";
}

namespace {

// splitmix64: every 8-byte block is independent of its neighbours, so any offset is cheap.
quint64 block(quint32 seed, quint64 index)
{
    quint64 x = (index ^ (quint64(seed) * 0xd1b54a32d192ed03ULL)) + 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

} // namespace

void fillBody(quint32 seed, qint64 offset, char* out, qint64 length)
{
    qint64 at = offset;
    while (length > 0) {
        const quint64 value = block(seed, quint64(at) / 8);
        // Little-endian explicitly, so the content does not depend on the host byte order.
        for (int byte = int(at % 8); byte < 8 && length > 0; ++byte, ++at, --length)
            *out++ = char(value >> (8 * byte));
    }
}

QByteArray body(qint64 size, quint32 seed, qint64 offset)
{
    QByteArray result(int(size), Qt::Uninitialized);
    fillBody(seed, offset, result.data(), size);
    return result;
}

std::string sha1Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex().toStdString();
}

std::string bodySha1(qint64 size, quint32 seed)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    const qint64 chunk = 1 << 20;
    for (qint64 off = 0; off < size; off += chunk)
        hash.addData(body(qMin(chunk, size - off), seed, off));
    return hash.result().toHex().toStdString();
}

bool writeFile(const std::string& path, const QByteArray& bytes)
{
    const QString target = QString::fromStdString(path);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return false;
    QFile file(target);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool fileExists(const std::string& path) { return QFileInfo::exists(QString::fromStdString(path)); }

qint64 fileSize(const std::string& path)
{
    const QFileInfo info(QString::fromStdString(path));
    return info.exists() ? info.size() : -1;
}
