// Two inputs in one target. The whole input as a stored record: reading never crashes, and
// whatever it finds survives a write and a second read. The input split into four fields:
// written as a record and read back, every byte comes back.
#include "XmlTool.h"

#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>
#include <string>

namespace {

const char* const fieldNames[4] = {"destinationFolder", "url", "fileHash", "temporalFilename"};

// The record as the component writes it.
std::string writeRecord(const std::string (&fields)[4])
{
    const std::unique_ptr<IXMLTool> tool(bootStrapCreate());
    std::string body;
    for (int i = 0; i < 4; ++i)
        body += tool->makeElement(fieldNames[i], tool->encode(fields[i]), false);
    return tool->makeElement("HaulwrightPersistedRequest", body, false);
}

void expectRoundTrip(const std::string (&fields)[4])
{
    const std::string text = writeRecord(fields);
    const std::unique_ptr<IXMLTool> reader(bootStrapCreate(text, boost::any(0)));
    for (int i = 0; i < 4; ++i) {
        const std::pair<bool, std::string> found = reader->find(fieldNames[i]);
        if (!found.first || found.second != fields[i]) {
            std::fprintf(stderr, "round trip lost field %s (found %d, %zu bytes in, %zu out)\nrecord: %s\n",
                         fieldNames[i], found.first ? 1 : 0, fields[i].size(), found.second.size(), text.c_str());
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string whole(reinterpret_cast<const char*>(data), size);
    {
        const std::unique_ptr<IXMLTool> reader(bootStrapCreate(whole, boost::any(0)));
        std::string found[4];
        bool any = false;
        for (int i = 0; i < 4; ++i) {
            const std::pair<bool, std::string> result = reader->find(fieldNames[i]);
            if (result.first && !static_cast<XmlTool*>(reader.get())->wellFormed())
                std::abort(); // malformed text must find nothing
            found[i] = result.second;
            any |= result.first;
        }
        if (any)
            expectRoundTrip(found);
    }

    FuzzedDataProvider provider(data, size);
    std::string fields[4];
    for (int i = 0; i < 3; ++i)
        fields[i] = provider.ConsumeRandomLengthString(size);
    fields[3] = provider.ConsumeRemainingBytesAsString();
    expectRoundTrip(fields);
    return 0;
}
