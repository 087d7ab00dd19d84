#include "PasswordPrompt.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace {

bool readLine(int fd, std::string& line)
{
    line.clear();
    char c = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, &c, 1)) == 1 && c != '\n')
        line += c;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return got == 1 || !line.empty();
}

} // namespace

bool readPassword(const std::string& user, std::string& password)
{
    if (const char* fromEnvironment = std::getenv("HAUL_PASSWORD")) {
        password = fromEnvironment;
        return true;
    }
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) {
        std::string line;
        if (!readLine(STDIN_FILENO, line))
            return false;
        password = line;
        return true;
    }
    const std::string prompt = "Password for " + user + ": ";
    (void)!::write(tty, prompt.data(), prompt.size());
    termios saved{};
    const bool canHide = ::tcgetattr(tty, &saved) == 0;
    if (canHide) {
        termios hidden = saved;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &hidden);
    }
    const bool ok = readLine(tty, password);
    if (canHide)
        ::tcsetattr(tty, TCSAFLUSH, &saved);
    (void)!::write(tty, "\n", 1);
    ::close(tty);
    return ok;
}
