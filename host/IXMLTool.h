#pragma once

#include <boost/any.hpp>
#include <string>
#include <utility>

// Serializer tool: writes elements, or reads named children of a parsed document.
class IXMLTool
{
public:
    virtual ~IXMLTool() = default;
    // Text safe to place inside an element.
    virtual std::string encode(const std::string& value) = 0;
    // One element called name holding content (already encoded or nested elements).
    virtual std::string makeElement(const std::string& name, const std::string& content, bool flag) = 0;
    // Whether the document's root has a child at path, and that child's text.
    virtual std::pair<bool, std::string> find(const std::string& path) = 0;
};

// A writing tool. The caller owns and deletes it.
IXMLTool* bootStrapCreate();
// A reading tool over text. Malformed text finds nothing. The caller owns it.
IXMLTool* bootStrapCreate(const std::string& text, const boost::any& options);
