#include "JsonInput.h"

#include "InputPolicy.h"

#include <QByteArray>
#include <QJsonDocument>
#include <set>
#include <vector>

namespace {

// An object or array open at this point of the text.
struct Level
{
    bool object = false;
    bool expectKey = false;
    std::set<std::string> keys; // decoded, as the parser compares them
};

// The length of the UTF-8 sequence at p (at most left bytes), 0 when it is none.
std::size_t utf8Length(const unsigned char* p, std::size_t left)
{
    const unsigned char c = p[0];
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF)
        length = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        length = 3, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4)
        length = 4, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    if (length == 0 || length > left || p[1] < low || p[1] > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// The code unit of "\uXXXX" at p (6 bytes available), or -1.
long unitAt(const unsigned char* p)
{
    if (p[0] != '\\' || p[1] != 'u')
        return -1;
    long unit = 0;
    for (int k = 2; k < 6; ++k) {
        const unsigned char c = p[k];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

// Reads the string whose opening quote is at i; returns the index after its closing quote, or 0
// when the text is not UTF-8. Its decoded text goes to *decoded when asked for.
std::size_t readString(const unsigned char* text, std::size_t size, std::size_t i, std::string* decoded)
{
    static const std::string plain = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
    for (++i; i < size && text[i] != '"';) {
        const long unit = i + 6 <= size ? unitAt(text + i) : -1;
        if (unit >= 0) {
            char32_t cp = char32_t(unit);
            i += 6;
            const long next = i + 6 <= size ? unitAt(text + i) : -1;
            if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
                cp = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(next) - 0xDC00);
                i += 6;
            }
            if (decoded)
                appendUtf8(*decoded, cp);
        } else if (text[i] == '\\' && i + 1 < size && text[i + 1] < 0x80) {
            const std::size_t which = plain.find(static_cast<char>(text[i + 1]));
            if (decoded)
                decoded->push_back(which == std::string::npos ? static_cast<char>(text[i + 1]) : meant[which]);
            i += 2;
        } else if (text[i] >= 0x80) {
            const std::size_t length = utf8Length(text + i, size - i);
            if (length == 0)
                return 0;
            if (decoded)
                decoded->append(reinterpret_cast<const char*>(text + i), length);
            i += length;
        } else {
            if (decoded)
                decoded->push_back(static_cast<char>(text[i]));
            ++i;
        }
    }
    return i + 1;
}

} // namespace

std::string jsonShapeProblem(const char* data, std::size_t size)
{
    const auto* text = reinterpret_cast<const unsigned char*>(data);
    std::vector<Level> open;
    for (std::size_t i = 0; i < size;) {
        const unsigned char c = text[i];
        if (c == '"') {
            Level* level = open.empty() ? nullptr : &open.back();
            const bool key = level && level->object && level->expectKey;
            std::string decoded;
            i = readString(text, size, i, key ? &decoded : nullptr);
            if (i == 0)
                return "JSON text that is not UTF-8";
            if (key && !level->keys.insert(decoded).second)
                return "JSON with a key twice in one object: " + inputPolicy::quoted(decoded);
            if (key)
                level->expectKey = false;
            continue;
        }
        if (c >= 0x80) {
            const std::size_t length = utf8Length(text + i, size - i);
            if (length == 0)
                return "JSON text that is not UTF-8";
            i += length;
            continue;
        }
        if (c == '{' || c == '[') {
            if (open.size() >= std::size_t(inputPolicy::maxJsonDepth))
                return "JSON nested deeper than " + std::to_string(inputPolicy::maxJsonDepth) + " levels";
            open.push_back(Level{c == '{', c == '{', {}});
        } else if ((c == '}' || c == ']') && !open.empty()) {
            open.pop_back();
        } else if (c == ',' && !open.empty() && open.back().object) {
            open.back().expectKey = true;
        }
        ++i;
    }
    return std::string();
}

QJsonObject jsonObjectFrom(const char* data, std::size_t size, std::string* error)
{
    std::string problem;
    QJsonObject object;
    if (size > inputPolicy::maxBodyBytes)
        problem = "the body is larger than 1 MiB";
    else
        problem = jsonShapeProblem(data, size);
    if (problem.empty()) {
        QJsonParseError parseError{};
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromRawData(data, static_cast<int>(size)), &parseError);
        if (parseError.error != QJsonParseError::NoError)
            problem = "malformed JSON: " + parseError.errorString().toStdString();
        else if (!document.isObject())
            problem = "the body must be a JSON object";
        else
            object = document.object();
    }
    if (error)
        *error = problem;
    return object;
}
