#include "OwnerLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

OwnerLock::~OwnerLock()
{
    if (fd >= 0)
        ::close(fd);
}

bool OwnerLock::acquire(const std::string& dataPath, pid_t* holder, std::string* error)
{
    *holder = 0;
    const std::string path = lockPath(dataPath);
    const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (file < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        char text[32] = {};
        const ssize_t n = ::pread(file, text, sizeof text - 1, 0);
        if (n > 0)
            *holder = static_cast<pid_t>(std::atol(text));
        ::close(file);
        return false;
    }
    // Written only while held, so a reader that lost the race sees a whole pid or none.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(file, 0) != 0 || ::pwrite(file, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        ::close(file);
        return false;
    }
    fd = file;
    return true;
}
