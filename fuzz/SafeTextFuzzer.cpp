// Texts that leave the process. withoutUserInfo leaves no "scheme://NAME@" behind (so a second
// pass finds nothing), only ever deletes bytes; oneLine escapes exactly the control bytes;
// clientText is both, cut to its bound at a character boundary.
#include "FuzzSupport.h"
#include "SafeText.h"

#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

namespace {

using fuzz::fail;

bool isSchemeChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '.' ||
           c == '-';
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Where "scheme://NAME@" begins a URL that still names a user: a scheme (scheme characters,
// at least one a letter) right before "://", and NAME free of "/?#@" and blanks.
std::size_t userInfoAt(const std::string& text)
{
    for (std::size_t separator = text.find("://"); separator != std::string::npos;
         separator = text.find("://", separator + 1)) {
        bool scheme = false;
        for (std::size_t i = separator; i > 0 && isSchemeChar(text[i - 1]) && !scheme; --i)
            scheme = isLetter(text[i - 1]);
        if (!scheme)
            continue;
        const std::size_t end = text.find_first_of("/?#@ \t\n\v\f\r", separator + 3);
        if (end != std::string::npos && text[end] == '@')
            return separator;
    }
    return std::string::npos;
}

// Whether out is text with some bytes deleted.
bool isSubsequence(const std::string& out, const std::string& text)
{
    std::size_t at = 0;
    for (const char c : text)
        if (at < out.size() && out[at] == c)
            ++at;
    return at == out.size();
}

void checkWithoutUserInfo(const std::string& text)
{
    const std::string once = withoutUserInfo(text);
    if (once.size() > text.size() || !isSubsequence(once, text))
        fail("withoutUserInfo added bytes", text, once);
    const std::size_t left = userInfoAt(once);
    if (left != std::string::npos)
        fail("withoutUserInfo left user information", text, once.substr(left > 20 ? left - 20 : 0));
    if (withoutUserInfo(once) != once)
        fail("withoutUserInfo is not idempotent", text, once);
    if (text.find('@') == std::string::npos && once != text)
        fail("withoutUserInfo changed a text without \"@\"", text, once);
}

void checkOneLine(const std::string& text)
{
    const std::string out = oneLine(text);
    if (!fuzz::isOneLine(out))
        fail("oneLine left a control byte", text, out);
    // \n, \r and \t take two bytes, other control bytes four ("\xHH"), the rest stays.
    std::size_t expected = 0;
    bool plain = true;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool control = byte < 0x20 || byte == 0x7f;
        plain = plain && !control;
        expected += !control ? 1 : (c == '\n' || c == '\r' || c == '\t') ? 2 : 4;
    }
    if (out.size() != expected || (plain && out != text))
        fail("oneLine changed more than the control bytes", text, out);
}

void checkClientText(const std::string& text, std::size_t maxBytes)
{
    const std::string out = clientText(text, maxBytes);
    const std::string full = oneLine(withoutUserInfo(text));
    const std::string ellipsis = "\xe2\x80\xa6";
    if (!fuzz::isOneLine(out) || out.size() > maxBytes + ellipsis.size())
        fail("clientText is not one line within its bound", text, out);
    if (full.size() <= maxBytes) {
        if (out != full)
            fail("clientText changed a text within its bound", text, out);
        return;
    }
    // Cut: a prefix that ends before a UTF-8 continuation byte, then the ellipsis.
    if (out.size() < ellipsis.size() || out.compare(out.size() - ellipsis.size(), ellipsis.size(), ellipsis) != 0)
        fail("clientText cut a text without marking it", text, out);
    const std::string kept = out.substr(0, out.size() - ellipsis.size());
    if (full.compare(0, kept.size(), kept) != 0)
        fail("clientText kept other than a prefix", text, out);
    if (!kept.empty() && (static_cast<unsigned char>(full[kept.size()]) & 0xc0) == 0x80)
        fail("clientText cut inside a character", text, out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string whole(reinterpret_cast<const char*>(data), size);
    checkWithoutUserInfo(whole);
    checkOneLine(whole);
    FuzzedDataProvider provider(data, size);
    const std::size_t maxBytes = provider.ConsumeIntegralInRange<std::size_t>(0, 300);
    checkClientText(provider.ConsumeRemainingBytesAsString(), maxBytes);
    return 0;
}
