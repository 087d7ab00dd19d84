// The one text form of a persisted request, read and written by the component and read by the
// owner that lists the store.
#include "HaulwrightPersistedRequest.h"
#include "IXMLTool.h"

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
    return true;
}
