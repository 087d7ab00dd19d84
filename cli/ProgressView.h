#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What the user sees on the terminal: one live line per running download (redrawn in place
// on a terminal, plain lines otherwise), result lines, and narration. In JSON mode standard
// output carries JSON only, so narration goes to standard error. Main thread only.
class ProgressView
{
public:
    enum class Mode
    {
        Human,
        Quiet,
        Json
    };

    ProgressView(Mode mode, bool terminal);

    // The progress line of one download; bytes already in the partial file count as done.
    void update(const std::string& id, const std::string& label, std::uint64_t current, std::uint64_t total,
                std::uint64_t bytesPerSecond);
    void remove(const std::string& id);
    // A result line on standard output (nothing in JSON mode).
    void result(const std::string& text);
    // A narration line: standard output, or standard error in JSON mode.
    void note(const std::string& text);

    static std::string progressLine(const std::string& label, std::uint64_t current, std::uint64_t total,
                                    std::uint64_t bytesPerSecond);

private:
    void erase();
    void draw();
    int width() const;

    const Mode mode;
    const bool terminal;
    std::vector<std::string> order; // ids of the live lines, in start order
    std::map<std::string, std::string> lines;
    int drawn = 0; // live lines on the screen below the cursor's row
};
