#pragma once

#include "IXMLTool.h"

#include <cstddef>
#include <map>
#include <string>

// The development host's serializer tool. A writing tool builds elements; a reading tool
// parses its text once when built and answers find() from that. Used by one thread at a
// time; owned by the caller of bootStrapCreate, who deletes it.
//
// Byte-exact values: XML 1.0 cannot carry most control characters or invalid UTF-8, not even
// as character references. encode() therefore maps each such byte b (0x00-0x08, 0x0B-0x1F,
// every byte of an invalid UTF-8 sequence, of U+FFFE/U+FFFF, and of a character already in
// U+E000..U+E0FF) to the private-use character U+E000 + b; find() maps U+E000..U+E0FF back
// to single bytes. Everything else travels as UTF-8 with the usual XML escapes.
class XmlTool : public IXMLTool
{
public:
    // A writing tool: find() finds nothing.
    XmlTool();
    // A reading tool over text; malformed text finds nothing.
    explicit XmlTool(const std::string& text);

    std::string encode(const std::string& value) override;
    // "<name>content</name>"; flag is unused (the persistence templates pass false).
    std::string makeElement(const std::string& name, const std::string& content, bool flag) override;
    // The decoded text of the root's first child element called path.
    std::pair<bool, std::string> find(const std::string& path) override;

    std::size_t foundCount() const { return found; }
    std::size_t missingCount() const { return missing; }
    // False for a reading tool whose text did not parse.
    bool wellFormed() const { return parsed; }

private:
    std::map<std::string, std::string> children;
    std::size_t found = 0;
    std::size_t missing = 0;
    bool parsed = false;
};
