#include "FileDigest.h"

#include "Sha1.h"

#include <locale>

FileDigest::FileDigest(const std::string& text) : digest(text)
{
    const std::ctype<char>& ctype = std::use_facet<std::ctype<char>>(std::locale());
    for (char& c : digest)
        c = ctype.tolower(c);
}

bool FileDigest::readFile(const std::string& path)
{
    std::string hex;
    if (!Sha1::hashFile(path, hex))
        return false;
    digest = hex;
    return true;
}
