#include "ProgressView.h"

#include "ByteFormat.h"
#include "ClientEvent.h"

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A name shorter than this gives way to figures before it is shortened further.
const int shortestName = 20;

bool continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::string padded(const std::string& text, int width)
{
    return text + std::string(static_cast<std::size_t>(std::max(0, width - ProgressView::columns(text))), ' ');
}

// The figures of a row, the most complete first.
std::vector<std::string> figuresOf(const ProgressView::Row& row)
{
    if (!row.state.empty())
        return {row.state};
    const std::string current = formatBytes(row.current);
    const std::string rate = formatBytes(row.bytesPerSecond) + "/s";
    if (row.total == 0)
        return {current + " so far  " + rate, current + "  " + rate, current};
    const std::string percent = std::to_string(std::min<std::uint64_t>(100, row.current * 100 / row.total)) + "%";
    const std::int64_t secondsLeft = row.bytesPerSecond > 0 && row.total > row.current
                                         ? static_cast<std::int64_t>((row.total - row.current) / row.bytesPerSecond)
                                         : -1;
    const std::string left = row.total <= row.current ? "0:00" : formatDuration(secondsLeft);
    const std::string both = current + " / " + formatBytes(row.total);
    return {both + "  " + percent + "  " + rate + "  " + left + " left",
            both + "  " + percent + "  " + rate + "  " + left,
            current + "  " + percent + "  " + rate + "  " + left,
            percent + "  " + rate + "  " + left,
            percent + "  " + rate,
            percent};
}

// The first text that fits, else the last.
std::string firstFitting(const std::vector<std::string>& texts, int width)
{
    for (const std::string& text : texts) {
        if (ProgressView::columns(text) <= width)
            return text;
    }
    return texts.back();
}

} // namespace

ProgressView::ProgressView(Mode mode, bool terminal) : mode(mode), terminal(terminal) {}

int ProgressView::columns(const std::string& text)
{
    return static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) { return !continuation(c); }));
}

std::string ProgressView::shortened(const std::string& text, int width)
{
    const int have = columns(text);
    if (have <= width)
        return text;
    if (width <= 0)
        return {};
    std::vector<std::size_t> starts; // byte offset of each code point
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!continuation(text[i]))
            starts.push_back(i);
    }
    const int kept = width - 1;
    const std::size_t head = static_cast<std::size_t>((kept + 1) / 2);
    const std::size_t tail = static_cast<std::size_t>(kept / 2);
    return text.substr(0, starts[head]) + "…" + text.substr(starts[starts.size() - tail]);
}

std::string ProgressView::progressLine(const Row& row, int width, int nameColumns)
{
    const std::vector<std::string> figures = figuresOf(row);
    if (width <= 0)
        return padded(row.label, nameColumns) + "  " + figures.front();
    const int name = nameColumns > 0 ? nameColumns : std::min(columns(row.label), shortestName);
    std::string shown = row.state.empty() ? figures.back() : figures.front();
    for (const std::string& candidate : figures) {
        if (columns(candidate) + 2 + name <= width) {
            shown = candidate;
            break;
        }
    }
    // A state is words, not figures: its end may go, once the name is down to a few columns.
    const int stateRoom = std::max(1, width - 2 - std::min(name, 10));
    if (!row.state.empty() && columns(shown) > stateRoom) {
        std::size_t end = 0;
        for (int kept = 0; kept < stateRoom - 1; ++kept) {
            do
                ++end;
            while (end < shown.size() && continuation(shown[end]));
        }
        shown = shown.substr(0, end) + "…";
    }
    const int room = std::max(1, width - 2 - columns(shown));
    const int nameWidth = nameColumns > 0 ? std::min(room, nameColumns) : room;
    return padded(shortened(row.label, nameWidth), nameColumns > 0 ? nameWidth : 0) + "  " + shown;
}

std::string ProgressView::totalLine(const Totals& totals, int width)
{
    std::string counts = std::to_string(totals.count) + (totals.count == 1 ? " download" : " downloads");
    if (totals.done > 0)
        counts += ", " + std::to_string(totals.done) + " done";
    if (totals.stopped > 0)
        counts += ", " + std::to_string(totals.stopped) + " stopped";
    if (totals.queued > 0)
        counts += ", " + std::to_string(totals.queued) + " queued";
    const std::string bytes = formatBytes(totals.bytes);
    const std::string rate = formatBytes(totals.bytesPerSecond) + "/s";
    const std::vector<std::string> lines = {"total: " + counts + "  " + bytes + "  " + rate,
                                            counts + "  " + bytes + "  " + rate, counts + "  " + rate, counts,
                                            std::to_string(totals.count) + " downloads"};
    return width > 0 ? firstFitting(lines, width) : lines.front();
}

void ProgressView::add(const std::string& id, const std::string& label, const std::string& state)
{
    if (rows.count(id))
        return;
    order.push_back(id);
    Entry& entry = rows[id];
    entry.row.label = label;
    entry.row.state = state;
    // Plain lines tell changes only: the state a row starts in is no news.
    if (mode != Mode::Human || !terminal)
        return;
    erase();
    draw();
}

void ProgressView::update(const std::string& id, const std::string& label, std::uint64_t current, std::uint64_t total,
                          std::uint64_t bytesPerSecond)
{
    if (!rows.count(id))
        add(id, label, "");
    // A download resumed under the same id gets its row back.
    rows[id].live = true;
    Row& row = rows[id].row;
    // A reply that does not say its size (a stall's retry, the first moments of a resume) is
    // still the file whose size an earlier one said.
    if (total > 0 || current > row.total)
        row.total = total;
    row.current = current;
    row.bytesPerSecond = bytesPerSecond;
    row.state.clear();
    if (mode != Mode::Human)
        return;
    if (!terminal)
        return plain(row);
    erase();
    draw();
}

void ProgressView::setState(const std::string& id, const std::string& state)
{
    const auto found = rows.find(id);
    if (found == rows.end() || (found->second.live && found->second.row.state == state))
        return;
    found->second.live = true;
    found->second.row.state = state;
    if (mode != Mode::Human)
        return;
    if (!terminal)
        return plain(found->second.row);
    erase();
    draw();
}

void ProgressView::remove(const std::string& id, bool finished)
{
    const auto found = rows.find(id);
    if (found == rows.end() || !found->second.live)
        return;
    Entry& entry = found->second;
    entry.live = false;
    entry.finished = finished;
    entry.row.bytesPerSecond = 0;
    if (finished && entry.row.total > 0)
        entry.row.current = entry.row.total;
    if (mode == Mode::Human && terminal) {
        erase();
        draw();
    }
}

void ProgressView::result(const std::string& text)
{
    if (mode == Mode::Json)
        return;
    erase();
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
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
    std::fflush(stdout);
    draw();
}

void ProgressView::message(const std::string& text)
{
    erase();
    std::fprintf(stderr, "%s\n", text.c_str());
    draw();
}

void ProgressView::failure(const std::string& text)
{
    // A script reading JSON gets the refusal in the shape of every refusal.
    if (mode == Mode::Json) {
        std::printf("%s\n", ClientEvent("DownloaderError", "").withText(text).toJson().constData());
        std::fflush(stdout);
    }
    message("haul: " + text);
}

void ProgressView::plain(const Row& row)
{
    std::fprintf(stderr, "%s\n", progressLine(row, 0).c_str());
}

void ProgressView::erase()
{
    // A terminal made narrower since wraps the lines drawn before: each now takes the rows it
    // fills at the present width.
    const int now = width();
    int up = 0;
    for (const int columns : drawn)
        up += std::max(1, (columns + now - 1) / now);
    if (terminal && up > 0)
        std::fprintf(stderr, "\033[%dA\r\033[J", up);
    drawn.clear();
}

void ProgressView::draw()
{
    if (!terminal || mode != Mode::Human)
        return;
    // A wrapped line would break the count of rows to move up, so rows stay short of the edge.
    const int limit = std::max(20, width() - 1);
    Totals totals;
    int nameColumns = 0;
    for (const std::string& id : order) {
        const Entry& entry = rows[id];
        ++totals.count;
        totals.bytes += entry.row.current;
        if (!entry.live) {
            ++(entry.finished ? totals.done : totals.stopped);
            continue;
        }
        totals.bytesPerSecond += entry.row.bytesPerSecond;
        totals.queued += entry.row.state == "queued" ? 1 : 0;
        nameColumns = std::max(nameColumns, columns(entry.row.label));
    }
    // Names line up in a column wide enough to read them, leaving the figures most of the row.
    nameColumns = std::min(nameColumns, std::max(shortestName, limit / 3));
    std::string screen;
    for (const std::string& id : order) {
        if (rows[id].live) {
            const std::string line = progressLine(rows[id].row, limit, nameColumns);
            screen += line + "\n";
            drawn.push_back(columns(line));
        }
    }
    if (!drawn.empty() && totals.count > 1) {
        const std::string line = totalLine(totals, limit);
        screen += line + "\n";
        drawn.push_back(columns(line));
    }
    std::fputs(screen.c_str(), stderr);
}

int ProgressView::width() const
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}
