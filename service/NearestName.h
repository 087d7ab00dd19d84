#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

// The known name a mistyped one most likely meant ("gte" -> "get"), compared without case; empty
// when none is close enough to be worth suggesting.
inline std::string nearestName(const std::string& typed, const std::vector<std::string>& known)
{
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        return text;
    };
    // Edit distance counting a swap of neighbours as one edit: the commonest typo.
    const auto distance = [](const std::string& a, const std::string& b) {
        std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
        for (std::size_t i = 0; i <= a.size(); ++i)
            d[i][0] = i;
        for (std::size_t j = 0; j <= b.size(); ++j)
            d[0][j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            for (std::size_t j = 1; j <= b.size(); ++j) {
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
        return d[a.size()][b.size()];
    };
    const std::string word = lower(typed);
    const std::size_t letters = word.size() - std::min(word.find_first_not_of('-'), word.size());
    // Short words allow one edit, longer ones more; beyond that a suggestion is noise ("-x" is no "-d").
    const std::size_t allowed = letters < 2 ? 0 : letters < 4 ? 1 : letters < 8 ? 2 : 3;
    std::string best;
    std::size_t bestDistance = allowed + 1;
    for (const std::string& name : known) {
        const std::size_t d = distance(word, lower(name));
        if (d < bestDistance) {
            best = name;
            bestDistance = d;
        }
    }
    return best;
}
