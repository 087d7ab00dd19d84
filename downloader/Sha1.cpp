#include "Sha1.h"

#include <QFile>
#include <openssl/evp.h>
#include <stdexcept>
#include <vector>

namespace {
const qint64 chunkSize = 10485760;
}

Sha1::Sha1() : context(EVP_MD_CTX_new())
{
    if (context == nullptr)
        throw std::bad_alloc();
    reset();
}

Sha1::~Sha1() { EVP_MD_CTX_free(context); }

void Sha1::reset()
{
    if (EVP_DigestInit_ex(context, EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("SHA-1 initialisation failed");
}

void Sha1::update(const char* data, std::size_t size)
{
    if (size > 0)
        EVP_DigestUpdate(context, data, size);
}

std::string Sha1::hexDigest() const
{
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    if (copy == nullptr)
        throw std::bad_alloc();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_MD_CTX_copy_ex(copy, context);
    EVP_DigestFinal_ex(copy, digest, &length);
    EVP_MD_CTX_free(copy);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0f]);
    }
    return text;
}

bool Sha1::updateFromFile(const std::string& path, long long limit)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    std::vector<char> buffer(static_cast<std::size_t>(std::min<qint64>(chunkSize, limit < 0 ? chunkSize : std::max<qint64>(limit, 1))));
    qint64 remaining = limit < 0 ? -1 : limit;
    while (remaining != 0) {
        const qint64 want = remaining < 0 ? qint64(buffer.size()) : std::min<qint64>(remaining, buffer.size());
        const qint64 got = file.read(buffer.data(), want);
        if (got < 0)
            return false;
        if (got == 0)
            return remaining < 0;
        update(buffer.data(), static_cast<std::size_t>(got));
        if (remaining > 0)
            remaining -= got;
    }
    return true;
}

bool Sha1::hashFile(const std::string& path, std::string& hexDigest)
{
    Sha1 hash;
    if (!hash.updateFromFile(path))
        return false;
    hexDigest = hash.hexDigest();
    return true;
}
