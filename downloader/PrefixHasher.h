#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class Sha1;

// The digest of a file written in pieces, over what is whole from its start: on a thread of its
// own, reading back what the connections wrote (from the page cache), so that it keeps pace with
// them and is ready soon after the last byte lands, with no second pass over the file.
class PrefixHasher
{
public:
    // hash has seen [0, from) of the file; it is this object's until finish() or destruction.
    PrefixHasher(int fd, Sha1& hash, std::int64_t from);
    // Stops at once, hash covering some prefix.
    ~PrefixHasher();
    PrefixHasher(const PrefixHasher&) = delete;
    PrefixHasher& operator=(const PrefixHasher&) = delete;

    // Everything below whole is written.
    void advanceTo(std::int64_t whole);
    std::int64_t target() const;
    // Waits until hash has seen everything below the last target: its end, or -1 when the file
    // could not be read.
    std::int64_t finish();

private:
    void run();

    const int fd;
    Sha1& hash;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::int64_t done;
    std::int64_t wanted;
    bool failed;
    bool stopping = false;
    std::thread worker;
};
