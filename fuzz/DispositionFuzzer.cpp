// A server's Content-Disposition never yields a name that leaves the destination folder.
#include "ContentDisposition.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string value(reinterpret_cast<const char*>(data), size);
    const std::string name = serverFilenameFromDisposition(value);
    const auto fail = [&](const char* why) {
        std::fprintf(stderr, "%s: \"%s\" from \"%s\"\n", why, name.c_str(), value.c_str());
        std::abort();
    };
    if (name == "." || name == "..")
        fail("names the folder itself");
    for (char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\')
            fail("holds a separator");
        if (byte < 0x20 || byte == 0x7f)
            fail("holds a control character");
    }
    return 0;
}
