#pragma once

#include <string>
#include <sys/types.h>

// The exclusive claim of one process on a data directory: flock on DATA/haul.lock, held until
// the object goes or the process ends (the kernel releases it even after SIGKILL). The pid
// inside only tells a refused process whom to name. Owned by the owner's main function.
class OwnerLock
{
public:
    OwnerLock() = default;
    ~OwnerLock();
    OwnerLock(const OwnerLock&) = delete;
    OwnerLock& operator=(const OwnerLock&) = delete;

    // False when another process holds it (*holder then names it, 0 when unknown) or the file
    // cannot be opened (*error says why).
    bool acquire(const std::string& dataPath, pid_t* holder, std::string* error);

    static std::string lockPath(const std::string& dataPath) { return dataPath + "haul.lock"; }

private:
    int fd = -1;
};
