// The one text form of a persisted request, read and written by the component and read by the
// owner that lists the store.
#include "HaulwrightPersistedRequest.h"
#include "IXMLTool.h"

#include <exception>
#include <memory>

namespace {
const char* const recordName = "HaulwrightPersistedRequest";
}

std::string wrapValue(const HaulwrightPersistedRequest& value)
{
    const std::unique_ptr<IXMLTool> tool(bootStrapCreate());
    std::string body;
    body += tool->makeElement("destinationFolder", tool->encode(value.destinationFolder), false);
    body += tool->makeElement("url", tool->encode(value.url), false);
    body += tool->makeElement("fileHash", tool->encode(value.fileHash), false);
    body += tool->makeElement("temporalFilename", tool->encode(value.temporalFilename), false);
    body += tool->makeElement("finalFilename", tool->encode(value.finalFilename), false);
    body += tool->makeElement("finalSize", tool->encode(value.finalSize), false);
    body += tool->makeElement("validator", tool->encode(value.validator), false);
    if (!value.pieces.empty())
        body += tool->makeElement("pieces", tool->encode(value.pieces), false);
    if (!value.lastState.empty()) {
        body += tool->makeElement("lastState", tool->encode(value.lastState), false);
        body += tool->makeElement("lastType", tool->encode(value.lastType), false);
        body += tool->makeElement("lastCode", std::to_string(value.lastCode), false);
        body += tool->makeElement("lastText", tool->encode(value.lastText), false);
        body += tool->makeElement("httpStatus", std::to_string(value.httpStatus), false);
        body += tool->makeElement("tlsCause", tool->encode(value.tlsCause), false);
        body += tool->makeElement("retryAfter", std::to_string(value.retryAfter), false);
    }
    return tool->makeElement(recordName, body, false);
}

bool unwrapValue(const std::string& text, HaulwrightPersistedRequest& value)
{
    const std::unique_ptr<IXMLTool> tool(bootStrapCreate(text, boost::any(0)));
    const auto take = [&tool](const char* name, std::string& field) {
        std::pair<bool, std::string> found = tool->find(name);
        if (found.first)
            field = found.second;
    };
    take("destinationFolder", value.destinationFolder);
    take("url", value.url);
    take("fileHash", value.fileHash);
    take("temporalFilename", value.temporalFilename);
    take("finalFilename", value.finalFilename);
    take("finalSize", value.finalSize);
    take("validator", value.validator);
    take("pieces", value.pieces);
    // Records written before outcomes were kept have none of these: they read as "no outcome".
    const auto number = [&take](const char* name, int& field) {
        std::string text;
        take(name, text);
        try {
            field = text.empty() ? field : std::stoi(text);
        } catch (const std::exception&) {
        }
    };
    take("lastState", value.lastState);
    take("lastType", value.lastType);
    number("lastCode", value.lastCode);
    take("lastText", value.lastText);
    number("httpStatus", value.httpStatus);
    take("tlsCause", value.tlsCause);
    number("retryAfter", value.retryAfter);
    return true;
}
