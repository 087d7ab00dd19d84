#pragma once

#include <QByteArray>

// Deterministic pseudo-random content addressable by offset, so a server can stream any range of
// a huge body without holding it and a test can recompute what it should have received.
// Stateless; callable from any thread.
class GeneratedBody
{
public:
    static void fill(quint32 seed, qint64 offset, char* out, qint64 length);
    static QByteArray content(quint32 seed, qint64 offset, qint64 length);
    // Raw 20-byte SHA-1 of the first `size` bytes; .toHex() for text.
    static QByteArray sha1(quint32 seed, qint64 size);
};
