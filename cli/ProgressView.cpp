#include "ProgressView.h"

#include "ByteFormat.h"

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

ProgressView::ProgressView(Mode mode, bool terminal) : mode(mode), terminal(terminal) {}

std::string ProgressView::progressLine(const std::string& label, std::uint64_t current, std::uint64_t total,
                                       std::uint64_t bytesPerSecond)
{
    char text[256];
    const std::string rate = formatBytes(bytesPerSecond) + "/s";
    if (total > 0) {
        const int percent = static_cast<int>(std::min<std::uint64_t>(100, current * 100 / total));
        const std::int64_t left =
            bytesPerSecond > 0 && total > current ? static_cast<std::int64_t>((total - current) / bytesPerSecond) : -1;
        std::snprintf(text, sizeof text, "%s  %s / %s  %d%%  %s  %s left", label.c_str(), formatBytes(current).c_str(),
                      formatBytes(total).c_str(), percent, rate.c_str(),
                      total <= current ? "0:00" : formatDuration(left).c_str());
    } else {
        std::snprintf(text, sizeof text, "%s  %s  %s", label.c_str(), formatBytes(current).c_str(), rate.c_str());
    }
    return text;
}

void ProgressView::update(const std::string& id, const std::string& label, std::uint64_t current, std::uint64_t total,
                          std::uint64_t bytesPerSecond)
{
    if (mode != Mode::Human)
        return;
    const std::string text = progressLine(label, current, total, bytesPerSecond);
    if (!terminal) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        return;
    }
    if (!lines.count(id))
        order.push_back(id);
    lines[id] = text;
    erase();
    draw();
}

void ProgressView::remove(const std::string& id)
{
    if (!lines.erase(id))
        return;
    order.erase(std::remove(order.begin(), order.end(), id), order.end());
    erase();
    draw();
}

void ProgressView::result(const std::string& text)
{
    if (mode == Mode::Json)
        return;
    erase();
    std::printf("%s\n", text.c_str());
    draw();
}

void ProgressView::note(const std::string& text)
{
    if (mode == Mode::Json) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return;
    }
    erase();
    std::printf("%s\n", text.c_str());
    draw();
}

void ProgressView::erase()
{
    if (terminal && drawn > 0)
        std::printf("\033[%dA\r\033[J", drawn);
    drawn = 0;
}

void ProgressView::draw()
{
    if (terminal) {
        // A wrapped line would break the count of rows to move up, so lines are cut to fit.
        const std::size_t limit = static_cast<std::size_t>(std::max(20, width() - 1));
        for (const std::string& id : order)
            std::printf("%s\n", lines[id].substr(0, limit).c_str());
        drawn = static_cast<int>(order.size());
    }
    std::fflush(stdout);
}

int ProgressView::width() const
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}
