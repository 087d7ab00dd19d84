#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The pieces of one file fetched over several connections at once: [start, end) each, the bytes
// [start, pos) of it written. Plain arithmetic, no I/O.
struct Piece
{
    std::int64_t start = 0;
    std::int64_t pos = 0;
    std::int64_t end = 0;
    int connection = -1; // the connection fetching it; free: none; resting: none, tried again soon
    int tries = 0;       // failed fetches of it, this transfer

    static constexpr int free = -1;
    static constexpr int resting = -2;

    std::int64_t left() const { return end - pos; }
    bool done() const { return pos >= end; }
};

namespace pieces {

// No piece is cut below this: smaller ones cost a request more than they save.
constexpr std::int64_t minPiece = 1 << 20;
constexpr int maxConnections = 16;

// [from, total) in up to n pieces of about equal size, none below minPiece (one when the file
// is smaller than two).
std::vector<Piece> plan(std::int64_t from, std::int64_t total, int n);
// The piece a free connection takes next: an unfinished one no connection fetches (the
// earliest), else the upper half of the one with most left, split off as a new piece (at least
// minPiece / 2 each side). -1 when nothing is worth a connection.
int take(std::vector<Piece>& all);
// How far from 0 the file is written without a gap: every byte below it is there.
std::int64_t frontier(const std::vector<Piece>& all, std::int64_t from);
// Bytes written in all, with everything below the first piece.
std::int64_t written(const std::vector<Piece>& all, std::int64_t total);

// "start-pos-end,..." in order of start, finished neighbours merged: what a record keeps.
std::string toText(std::vector<Piece> all);
// False for text that is no such list within [0, total): out is left empty then.
bool fromText(const std::string& text, std::int64_t total, std::vector<Piece>& out);

} // namespace pieces
