#pragma once

#include <boost/lexical_cast.hpp>
#include <cstdint>
#include <string>
#include <type_traits>

// Reading numbers from configuration texts: a text that is no number of the
// wanted type gives the fallback, silently.
template <class Number> Number configNumber(const std::string& text, Number fallback)
{
    // lexical_cast wraps "-1" into an unsigned type; that is no number of the type.
    if (std::is_unsigned<Number>::value && !text.empty() && text[0] == '-')
        return fallback;
    try {
        return boost::lexical_cast<Number>(text);
    } catch (const boost::bad_lexical_cast&) {
        return fallback;
    }
}

// The limit of concurrent downloads: a signed int, widened with its sign, so -1
// means no limit at all.
inline std::uint64_t maxDownloadsFromText(const std::string& text, std::uint64_t fallback)
{
    const int value = configNumber<int>(text, 0);
    if (value == 0 && configNumber<int>(text, 1) == 1)
        return fallback;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}
