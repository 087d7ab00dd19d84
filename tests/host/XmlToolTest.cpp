#include "XmlTool.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

// Builds records the way the persistence templates do and reads every field back; malformed
// text finds nothing.
TEST(XmlToolTest, EveryByteRoundTripsAndMalformedTextFindsNothing)
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    const std::vector<std::vector<std::string>> rows = {
        {"/tmp/a <b> & \"c\" 'd'/", "http://h/p?a=1&b=<2>&c=]]>", "line1\nline2\r\nline3\rend", "\ttabbed\t  spaced  "},
        {"", "&amp; already escaped &lt;", "<![CDATA[x]]><!-- c --><?pi x?>", std::string("a\0b", 3)},
        {bytes, std::string(bytes.rbegin(), bytes.rend())},
        {"Grüße/日本語/😀", "\xC3\x28 \xA0\xA1 \xE2\x28\xA1 \xF0\x28\x8C\x28", // invalid sequences
         "\xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xEF\xBF\xBE \xEF\xBF\xBF", // overlong, surrogate, >U+10FFFF, nonchars
         "\xEE\x80\x80\xEE\x83\xBF \xEE\x80\x80\x41",                        // the escape range itself
         "a\xEF\xBB\xBF"
         "b"}, // a byte order mark inside
    };
    for (std::size_t row = 0; row < rows.size(); ++row) {
        std::unique_ptr<IXMLTool> writer(bootStrapCreate());
        std::string body;
        for (std::size_t i = 0; i < rows[row].size(); ++i)
            body += writer->makeElement("f" + std::to_string(i), writer->encode(rows[row][i]), false);
        std::unique_ptr<IXMLTool> reader(bootStrapCreate(writer->makeElement("r", body, false), boost::any(0)));
        for (std::size_t i = 0; i < rows[row].size(); ++i)
            EXPECT_EQ(reader->find("f" + std::to_string(i)), std::make_pair(true, rows[row][i])) << "row " << row;
    }
    // find reads the first direct child of the root of that name.
    XmlTool reader("<root><a>first</a><nested><b>inner</b></nested><a>second</a></root>");
    EXPECT_EQ(reader.find("a").second + "|" + std::to_string(reader.find("b").first), "first|0");
    // Records stay readable by anything that reads plain XML.
    EXPECT_EQ(XmlTool().encode("plain text Grüße"), "plain text Grüße");

    // clang-format off
    for (const char* text : {"", "garbage", "<root><a>x</a>", "<root><a>x</b></root>", "<root><a>x</a></root><second/>",
                             "<root><a>x</a></root>trailing", "<root><a>&bogus;</a></root>", "<root><a>\x01</a></root>",
                             "<root><a>\xC3\x28</a></root>", "<root><a attr=>x</a></root>", "<<<>>>&&&"}) {
        // clang-format on
        XmlTool malformed(text);
        EXPECT_FALSE(malformed.wellFormed() || malformed.find("a").first) << text;
    }
}

} // namespace
