#include "UserInfo.h"

#include <regex>

std::string withoutUserInfo(const std::string& text)
{
    // Inside a URL, "/", "?", "#" and blanks end the authority; a password's own "@" arrives encoded.
    static const std::regex userInfo("([A-Za-z][A-Za-z0-9+.-]*://)[^/?#@\\s]*@");
    if (text.find("://") == std::string::npos)
        return text;
    return std::regex_replace(text, userInfo, "$1");
}
