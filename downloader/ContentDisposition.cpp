#include "ContentDisposition.h"

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <boost/algorithm/string/trim.hpp>
#include <cctype>
#include <locale>

namespace {

const std::size_t maxDispositionBytes = 16 * 1024;

bool startsWithNoCase(const std::string& text, std::size_t at, const char* prefix)
{
    for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
        if (at + i >= text.size() ||
            std::tolower(static_cast<unsigned char>(text[at + i])) != static_cast<unsigned char>(prefix[i]))
            return false;
    }
    return true;
}

// filename*=charset''percent-encoded; only UTF-8 and ISO-8859-1 are understood. Each search
// resumes where the last parameter ended, so no byte is scanned twice.
std::string extendedName(const std::string& value)
{
    std::size_t at = value.find("filename*");
    while (at != std::string::npos) {
        std::size_t pos = at + 9;
        while (pos < value.size() && value[pos] == ' ')
            ++pos;
        if (pos >= value.size() || value[pos] != '=') {
            at = value.find("filename*", pos);
            continue;
        }
        ++pos;
        while (pos < value.size() && value[pos] == ' ')
            ++pos;
        const std::size_t end = std::min(value.find(';', pos), value.size());
        std::string encoded = value.substr(pos, end - pos);
        boost::algorithm::trim(encoded);
        encoded.erase(std::remove(encoded.begin(), encoded.end(), '"'), encoded.end());
        const bool utf8 = startsWithNoCase(encoded, 0, "utf-8''");
        const bool latin1 = startsWithNoCase(encoded, 0, "iso-8859-1''");
        if (utf8 || latin1) {
            const QByteArray raw =
                QByteArray::fromPercentEncoding(QByteArray::fromStdString(encoded.substr(utf8 ? 7 : 12)));
            return utf8 ? raw.toStdString() : QString::fromLatin1(raw).toStdString();
        }
        at = value.find("filename*", end);
    }
    return std::string();
}

// Everything after the first "filename" (not "filename*") and its "=", without quotes.
std::string plainName(const std::string& value)
{
    for (std::size_t at = value.find("filename"); at != std::string::npos; at = value.find("filename", at + 1)) {
        if (at + 8 < value.size() && value[at + 8] == '*')
            continue;
        const std::size_t equals = value.find('=', at);
        if (equals == std::string::npos)
            return std::string();
        std::string name = value.substr(equals + 1);
        name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
        boost::algorithm::trim(name, std::locale());
        return name;
    }
    return std::string();
}

} // namespace

std::string confinedFileName(std::string name)
{
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    name.erase(std::remove_if(name.begin(), name.end(),
                              [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
               name.end());
    if (name == "." || name == "..")
        return std::string();
    return name;
}

std::string serverFilenameFromDisposition(const std::string& value)
{
    // No file system takes a name this long: the URL names the file instead.
    if (value.size() > maxDispositionBytes)
        return std::string();
    std::string name = confinedFileName(extendedName(value));
    if (name.empty())
        name = confinedFileName(plainName(value));
    return name;
}
