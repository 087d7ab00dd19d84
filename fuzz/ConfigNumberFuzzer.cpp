// A configuration text is read as a number only when it is one: an optional sign ("-" for
// signed types only), decimal digits (leading zeros allowed) and nothing else, in range.
// Every such text is read, every other text gives the fallback.
#include "ConfigNumber.h"

#include <QtGlobal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

// The value text names when it is [+-]?[0-9]+ and fits in [low, high]; false otherwise.
bool decimalValue(const std::string& text, bool allowMinus, long long low, long long high, long long& value)
{
    std::size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || (allowMinus && text[at] == '-'))) {
        negative = text[at] == '-';
        ++at;
    }
    if (at == text.size())
        return false;
    long long magnitude = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9')
            return false;
        magnitude = magnitude * 10 + (text[at] - '0');
        if (magnitude > (1LL << 40))
            return false; // beyond every type checked here
    }
    value = negative ? -magnitude : magnitude;
    return value >= low && value <= high;
}

[[noreturn]] void fail(const char* what, const std::string& text, long long got)
{
    std::fprintf(stderr, "%s: text \"%s\" (%zu bytes) gave %lld\n", what, text.c_str(), text.size(), got);
    std::abort();
}

template <class Number> void checkNumber(const std::string& text, const char* type)
{
    // Two fallbacks: a result equal to both of them at once is impossible.
    const Number a = configNumber<Number>(text, Number(7));
    const Number b = configNumber<Number>(text, Number(11));
    long long expected = 0;
    const bool isNumber = decimalValue(text, std::is_signed<Number>::value, std::numeric_limits<Number>::min(),
                                       std::numeric_limits<Number>::max(), expected);
    const bool fellBack = a == Number(7) && b == Number(11);
    if (fellBack && isNumber)
        fail(type, text, expected); // a number of the type was refused
    if (!fellBack && (a != b || !isNumber || static_cast<long long>(a) != expected))
        fail(type, text, static_cast<long long>(a));
}

void checkMaxDownloads(const std::string& text)
{
    const std::uint64_t fallback = 1ULL << 40; // no int widens to this
    const std::uint64_t got = maxDownloadsFromText(text, fallback);
    long long expected = 0;
    const bool isNumber = decimalValue(text, true, INT32_MIN, INT32_MAX, expected);
    if (got == fallback) {
        if (isNumber)
            fail("maxDownloads refused", text, expected);
        return;
    }
    if (!isNumber || static_cast<std::int64_t>(got) != expected)
        fail("maxDownloads", text, static_cast<long long>(got));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkNumber<quint32>(text, "quint32");
    checkNumber<qint32>(text, "qint32");
    checkMaxDownloads(text);
    return 0;
}
