#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What the user sees: one row per download on standard error (redrawn in place when standard
// error is a terminal, plain lines otherwise) with a total line below several, result lines on
// standard output, and narration. In JSON mode standard output carries JSON only, so narration
// goes to standard error. Main thread only.
class ProgressView
{
public:
    enum class Mode
    {
        Human,
        Quiet,
        Json
    };

    // One download as its row shows it.
    struct Row
    {
        std::string label;
        std::uint64_t current = 0;
        std::uint64_t total = 0; // 0: the server did not say
        std::uint64_t bytesPerSecond = 0;
        std::string state; // free-form ("queued", "retrying in 4s", "paused"); shown instead of the figures
    };
    struct Totals
    {
        int count = 0;
        int done = 0;    // saved
        int stopped = 0; // paused, failed or aborted
        int queued = 0;
        std::uint64_t bytes = 0;
        std::uint64_t bytesPerSecond = 0;
    };

    // terminal: standard error is a terminal.
    ProgressView(Mode mode, bool terminal);
    // Rows are shown at all.
    bool live() const { return mode == Mode::Human; }

    // Rows keep the order in which they were added.
    void add(const std::string& id, const std::string& label, const std::string& state);
    // Bytes already in the partial file count as done. Adds the row when new, brings it back when
    // removed; clears its state.
    void update(const std::string& id, const std::string& label, std::uint64_t current, std::uint64_t total,
                std::uint64_t bytesPerSecond);
    // Brings back a removed row (a download resumed or retried under the same id).
    void setState(const std::string& id, const std::string& state);
    // The download ended: its row goes, its bytes stay in the total (all of them when finished).
    void remove(const std::string& id, bool finished = false);
    // A result line on standard output (nothing in JSON mode).
    void result(const std::string& text);
    // A narration line: standard output, or standard error in JSON mode.
    void note(const std::string& text);
    // A hint for the person at the terminal, never for a script: standard error.
    void message(const std::string& text);
    // What stopped a command before any download: "haul: TEXT" on standard error, and in JSON
    // mode the refusal object on standard output too.
    void failure(const std::string& text);

    // A row in at most width columns (0: no limit): the figures stay whole, the name is shortened
    // in the middle. With nameColumns, names take that many columns, so that rows line up.
    static std::string progressLine(const Row& row, int width, int nameColumns = 0);
    static std::string totalLine(const Totals& totals, int width);
    // Terminal columns of UTF-8 text (one per code point).
    static int columns(const std::string& text);
    // text in at most width columns, with "…" in place of its middle.
    static std::string shortened(const std::string& text, int width);

private:
    struct Entry
    {
        Row row;
        bool live = true;
        bool finished = false;
    };

    void erase();
    void draw();
    void plain(const Row& row);
    int width() const;

    const Mode mode;
    const bool terminal;
    std::vector<std::string> order; // ids of every row, in the order they were added
    std::map<std::string, Entry> rows;
    std::vector<int> drawn; // the columns of each line drawn below the cursor's row
};
