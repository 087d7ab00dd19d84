#include "XmlTool.h"

#include <QString>
#include <QVector>
#include <QXmlStreamReader>

namespace {

constexpr char32_t kByteBase = 0xE000;

// Length of the well-formed UTF-8 sequence at text[i], or 0; fills its code point.
std::size_t utf8Sequence(const std::string& text, std::size_t i, char32_t& cp)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    std::size_t length;
    char32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((at(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (at(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

bool travelsAsIs(char32_t cp)
{
    if (cp < 0x20)
        return cp == 0x09 || cp == 0x0A;
    if (cp >= kByteBase && cp <= kByteBase + 0xFF)
        return false; // would be read back as an escaped byte
    // A byte order mark is dropped by the reader wherever it stands.
    return cp != 0xFFFE && cp != 0xFFFF && cp != 0xFEFF;
}

// Below U+E100: the private-use characters of bytes are all three bytes long.
void appendUtf8(std::string& out, char32_t cp)
{
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
}

std::string fromXmlCharacters(const QString& text)
{
    std::string out;
    const QVector<uint> points = text.toUcs4();
    for (uint cp : points) {
        if (cp >= kByteBase && cp <= kByteBase + 0xFF)
            out += static_cast<char>(cp - kByteBase);
        else
            out += QString::fromUcs4(&cp, 1).toStdString();
    }
    return out;
}

} // namespace

IXMLTool* bootStrapCreate()
{
    return new XmlTool();
}

IXMLTool* bootStrapCreate(const std::string& text, const boost::any& /*options*/)
{
    return new XmlTool(text);
}

XmlTool::XmlTool() = default;

XmlTool::XmlTool(const std::string& text)
{
    QXmlStreamReader reader(QByteArray::fromStdString(text));
    if (!reader.readNextStartElement())
        return;
    while (reader.readNextStartElement()) {
        const std::string name = reader.name().toString().toStdString();
        const QString value = reader.readElementText(QXmlStreamReader::IncludeChildElements);
        children.emplace(name, fromXmlCharacters(value)); // the first of a name wins
    }
    // Read to the end: trailing garbage makes the whole text malformed.
    while (!reader.atEnd())
        reader.readNext();
    parsed = !reader.hasError();
    if (!parsed)
        children.clear();
}

// The bytes as they stand where they may; every other byte as the private-use character of
// its value. Written directly: a stream writer per field was a tenth of a download's work.
std::string XmlTool::encode(const std::string& value)
{
    std::string out;
    out.reserve(value.size() + 16);
    for (std::size_t i = 0; i < value.size();) {
        const unsigned char byte = static_cast<unsigned char>(value[i]);
        char32_t cp = byte;
        std::size_t length = byte < 0x80 ? 1 : utf8Sequence(value, i, cp);
        if (length != 0 && travelsAsIs(cp)) {
            switch (cp) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.append(value, i, length);
            }
        } else {
            length = length == 0 ? 1 : length;
            for (std::size_t k = 0; k < length; ++k)
                appendUtf8(out, kByteBase + static_cast<unsigned char>(value[i + k]));
        }
        i += length;
    }
    return out;
}

std::string XmlTool::makeElement(const std::string& name, const std::string& content, bool /*flag*/)
{
    return "<" + name + ">" + content + "</" + name + ">";
}

std::pair<bool, std::string> XmlTool::find(const std::string& path)
{
    auto it = children.find(path);
    if (it == children.end()) {
        ++missing;
        return {false, std::string()};
    }
    ++found;
    return {true, it->second};
}
