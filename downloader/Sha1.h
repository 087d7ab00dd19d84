#pragma once

#include <cstddef>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// Incremental SHA-1 (libcrypto; faster than Qt's own). Owned by one thread at a time.
class Sha1
{
public:
    Sha1();
    ~Sha1();
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;

    void reset();
    void update(const char* data, std::size_t size);
    // 40 lower-case hexadecimal digits of everything fed since the last reset.
    // Does not disturb the running state.
    std::string hexDigest() const;

    // Digest of a whole file read in chunks of at most 10 MiB; false when it cannot be read.
    static bool hashFile(const std::string& path, std::string& hexDigest);
    // Feeds a file's first bytes (all when limit < 0); false when it cannot be read fully.
    bool updateFromFile(const std::string& path, long long limit = -1);

private:
    EVP_MD_CTX* context;
};
