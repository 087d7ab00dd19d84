#include "SafeText.h"

namespace {

bool isSchemeChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '.' ||
           c == '-';
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A scheme ends right before "://" at separator: a run of scheme characters holding a letter.
bool schemeBefore(const std::string& text, std::size_t separator)
{
    for (std::size_t i = separator; i > 0 && isSchemeChar(text[i - 1]); --i) {
        if (isLetter(text[i - 1]))
            return true;
    }
    return false;
}

} // namespace

std::string withoutUserInfo(const std::string& text)
{
    std::string out;
    std::size_t copied = 0;
    for (std::size_t separator = text.find("://"); separator != std::string::npos;
         separator = text.find("://", separator + 1)) {
        if (!schemeBefore(text, separator))
            continue;
        // Inside a URL, "/", "?", "#" and blanks end the authority, and its last "@" the user
        // information: a password may hold an "@" of its own. The scan stops at the next "://"
        // at the latest, so no byte is read twice.
        const std::size_t start = separator + 3;
        std::size_t end = start;
        std::size_t at = std::string::npos;
        for (; end < text.size() && text[end] != '/' && text[end] != '?' && text[end] != '#' && !isBlank(text[end]);
             ++end) {
            if (text[end] == '@')
                at = end;
        }
        if (at != std::string::npos) {
            out.append(text, copied, start - copied);
            copied = at + 1;
            separator = at;
        }
    }
    if (copied == 0)
        return text;
    out.append(text, copied, std::string::npos);
    return out;
}

std::string oneLine(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 15]);
        }
    }
    return out;
}

std::string clientText(const std::string& text, std::size_t maxBytes)
{
    std::string out = oneLine(withoutUserInfo(text));
    if (out.size() <= maxBytes)
        return out;
    std::size_t cut = maxBytes;
    // Back to the first byte of a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80)
        --cut;
    out.resize(cut);
    return out + "…";
}
