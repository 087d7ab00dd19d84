#include "HostLogger.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

Logger* Logger::getDefaultInstance()
{
    return &HostLogger::instance();
}

HostLogger& HostLogger::instance()
{
    // Leaked on purpose: components may log from static destructors.
    static HostLogger* logger = new HostLogger();
    return *logger;
}

namespace {

// Local time as "2024-06-11T09:30:05.123". Not QDateTime: Qt 5's local-time conversion, run
// from several threads at once, now and then yields an empty string.
std::string timestamp()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr)
        return "?";
    char text[48];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03ld", now.tv_nsec / 1000000);
    return text;
}

} // namespace

void HostLogger::error(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex);
    // Taken under the lock so the file's lines are in time order.
    const std::string text = timestamp() + " " + line + "\n";
    if (!failText.empty() && line.find(failText) != std::string::npos) {
        failText.clear();
        throw std::runtime_error(failWhat);
    }
    if (capturing)
        lines.push_back(line);
    std::FILE* out = logFile != nullptr ? logFile : (quiet ? nullptr : stderr);
    if (out != nullptr) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
    }
}

bool HostLogger::setLogFile(const std::string& path)
{
    std::FILE* file = nullptr;
    if (!path.empty()) {
        file = std::fopen(path.c_str(), "a");
        if (file == nullptr)
            return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (logFile != nullptr)
        std::fclose(logFile);
    logFile = file;
    return true;
}

void HostLogger::setQuiet(bool value)
{
    std::lock_guard<std::mutex> lock(mutex);
    quiet = value;
}

void HostLogger::startCapture()
{
    std::lock_guard<std::mutex> lock(mutex);
    capturing = true;
}

std::vector<std::string> HostLogger::captured() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
}

void HostLogger::clearCapture()
{
    std::lock_guard<std::mutex> lock(mutex);
    lines.clear();
}

void HostLogger::stopCapture()
{
    std::lock_guard<std::mutex> lock(mutex);
    capturing = false;
}

void HostLogger::failOnce(const std::string& text, const std::string& what)
{
    std::lock_guard<std::mutex> lock(mutex);
    failText = text;
    failWhat = what;
}
