#include "GeneratedBody.h"

#include <QCryptographicHash>
#include <cstring>

namespace {

quint64 mix(quint64 x)
{
    // splitmix64 finaliser: cheap and every 8-byte block is independent of its neighbours.
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

quint64 block(quint32 seed, quint64 index)
{
    return mix(index ^ (quint64(seed) * 0xd1b54a32d192ed03ULL));
}

void blockBytes(quint64 value, unsigned char* out)
{
    // Little-endian explicitly, so the content does not depend on the host byte order.
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

} // namespace

void GeneratedBody::fill(quint32 seed, qint64 offset, char* out, qint64 length)
{
    auto* dst = reinterpret_cast<unsigned char*>(out);
    quint64 index = quint64(offset) / 8;
    int skip = int(quint64(offset) % 8);
    unsigned char buf[8];
    while (length > 0) {
        blockBytes(block(seed, index), buf);
        const qint64 n = qMin<qint64>(8 - skip, length);
        std::memcpy(dst, buf + skip, size_t(n));
        dst += n;
        length -= n;
        skip = 0;
        ++index;
    }
}

QByteArray GeneratedBody::content(quint32 seed, qint64 offset, qint64 length)
{
    QByteArray result(int(length), Qt::Uninitialized);
    fill(seed, offset, result.data(), length);
    return result;
}

QByteArray GeneratedBody::sha1(quint32 seed, qint64 size)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    const qint64 chunk = 1 << 20;
    QByteArray buf(int(chunk), Qt::Uninitialized);
    for (qint64 off = 0; off < size; off += chunk) {
        const qint64 n = qMin(chunk, size - off);
        fill(seed, off, buf.data(), n);
        hash.addData(buf.constData(), int(n));
    }
    return hash.result();
}
