#include "PrefixHasher.h"

#include "Sha1.h"

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

const std::int64_t chunk = 256 << 10;

} // namespace

// A descriptor of its own: the transfer may close the file while this still reads.
PrefixHasher::PrefixHasher(int fd_, Sha1& hash_, std::int64_t from)
    : fd(::fcntl(fd_, F_DUPFD_CLOEXEC, 0)), hash(hash_), done(from), wanted(from), failed(fd < 0),
      worker([this] { run(); })
{
}

PrefixHasher::~PrefixHasher()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    worker.join();
    if (fd >= 0)
        ::close(fd);
}

void PrefixHasher::advanceTo(std::int64_t whole)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (whole <= wanted)
            return;
        wanted = whole;
    }
    changed.notify_all();
}

std::int64_t PrefixHasher::target() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return wanted;
}

std::int64_t PrefixHasher::finish()
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return failed || done >= wanted; });
    return failed ? -1 : done;
}

void PrefixHasher::run()
{
    std::unique_ptr<char[]> buffer(new char[chunk]);
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return stopping || (!failed && done < wanted); });
        if (stopping)
            return;
        const std::int64_t from = done;
        const std::int64_t size = std::min(chunk, wanted - done);
        lock.unlock();
        const ssize_t got = ::pread(fd, buffer.get(), std::size_t(size), off_t(from));
        if (got > 0)
            hash.update(buffer.get(), std::size_t(got));
        lock.lock();
        if (got <= 0)
            failed = true;
        else
            done += got;
        changed.notify_all();
    }
}
