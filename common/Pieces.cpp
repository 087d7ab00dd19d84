#include "Pieces.h"

#include <algorithm>
#include <sstream>

namespace pieces {

std::vector<Piece> plan(std::int64_t from, std::int64_t total, int n)
{
    std::vector<Piece> all;
    const std::int64_t size = total - from;
    if (size <= 0)
        return all;
    const std::int64_t count = std::max<std::int64_t>(1, std::min<std::int64_t>(n, size / minPiece));
    for (std::int64_t i = 0; i < count; ++i) {
        Piece piece;
        piece.start = piece.pos = from + size * i / count;
        piece.end = from + size * (i + 1) / count;
        all.push_back(piece);
    }
    return all;
}

int take(std::vector<Piece>& all)
{
    int idle = -1;
    int largest = -1;
    for (int i = 0; i < int(all.size()); ++i) {
        const Piece& piece = all[std::size_t(i)];
        if (piece.done())
            continue;
        if (piece.connection == Piece::free && (idle < 0 || piece.start < all[std::size_t(idle)].start))
            idle = i;
        if (piece.connection >= 0 && (largest < 0 || piece.left() > all[std::size_t(largest)].left()))
            largest = i;
    }
    if (idle >= 0)
        return idle;
    if (largest < 0 || all[std::size_t(largest)].left() < minPiece)
        return -1;
    Piece& busy = all[std::size_t(largest)];
    Piece upper;
    upper.start = upper.pos = busy.pos + busy.left() / 2;
    upper.end = busy.end;
    busy.end = upper.start;
    all.push_back(upper);
    return int(all.size()) - 1;
}

std::int64_t frontier(const std::vector<Piece>& all, std::int64_t from)
{
    // Few pieces: a pass per step is cheaper than keeping them sorted.
    for (bool moved = true; moved;) {
        moved = false;
        for (const Piece& piece : all) {
            if (piece.start <= from && from < piece.pos) {
                from = piece.pos;
                moved = true;
            }
        }
    }
    return from;
}

std::int64_t written(const std::vector<Piece>& all, std::int64_t total)
{
    std::int64_t missing = 0;
    for (const Piece& piece : all)
        missing += piece.left();
    return total - missing;
}

std::string toText(std::vector<Piece> all)
{
    std::sort(all.begin(), all.end(), [](const Piece& a, const Piece& b) { return a.start < b.start; });
    std::vector<Piece> merged;
    for (const Piece& piece : all) {
        if (!merged.empty() && merged.back().done() && merged.back().end == piece.start) {
            merged.back().pos = piece.pos;
            merged.back().end = piece.end;
        } else {
            merged.push_back(piece);
        }
    }
    std::string text;
    for (const Piece& piece : merged)
        text += (text.empty() ? "" : ",") + std::to_string(piece.start) + "-" + std::to_string(piece.pos) + "-" +
                std::to_string(piece.end);
    return text;
}

bool fromText(const std::string& text, std::int64_t total, std::vector<Piece>& out)
{
    out.clear();
    // A record is outside input too: bounded, and every piece inside the file, none overlapping.
    if (text.empty() || text.size() > 64 * 1024 || text.back() == ',')
        return false;
    std::istringstream in(text);
    std::string item;
    std::int64_t previousEnd = 0;
    while (std::getline(in, item, ',')) {
        Piece piece;
        char dash1 = 0, dash2 = 0;
        std::istringstream fields(item);
        if (!(fields >> piece.start >> dash1 >> piece.pos >> dash2 >> piece.end) || dash1 != '-' || dash2 != '-' ||
            !fields.eof() || piece.start < previousEnd || piece.pos < piece.start || piece.end < piece.pos ||
            piece.end > total) {
            out.clear();
            return false;
        }
        previousEnd = piece.end;
        out.push_back(piece);
    }
    return !out.empty();
}

} // namespace pieces
