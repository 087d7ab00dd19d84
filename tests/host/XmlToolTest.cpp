#include "XmlTool.h"

#include <gtest/gtest.h>
#include <memory>
#include <random>

namespace {

const char* const kFields[] = {"destinationFolder", "url", "fileHash", "temporalFilename"};

// Builds a record the way the persistence templates do, then reads every field back.
void expectRoundTrip(const std::vector<std::string>& values)
{
    std::unique_ptr<IXMLTool> writer(bootStrapCreate());
    std::string body;
    for (std::size_t i = 0; i < values.size(); ++i)
        body += writer->makeElement(kFields[i], writer->encode(values[i]), false);
    std::unique_ptr<IXMLTool> reader(
        bootStrapCreate(writer->makeElement("HaulwrightPersistedRequest", body, false), boost::any(0)));
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(reader->find(kFields[i]), std::make_pair(true, values[i])) << kFields[i];
}

TEST(XmlToolTest, EveryByteRoundTrips)
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    const std::vector<std::vector<std::string>> rows = {
        {"/tmp/a <b> & \"c\" 'd'/", "http://h/p?a=1&b=<2>&c=]]>", "line1\nline2\r\nline3\rend", "\ttabbed\t  spaced  "},
        {"", "", "", ""},
        {"&amp; already escaped &lt;", "<![CDATA[x]]>", "<!-- c -->", "<?pi x?>"},
        {bytes, std::string(bytes.rbegin(), bytes.rend()), std::string(1, '\0'), std::string("a\0b", 3)},
        {"Grüße/日本語/😀", "\xC3\x28 \xA0\xA1 \xE2\x28\xA1 \xF0\x28\x8C\x28", // invalid sequences
         "\xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xEF\xBF\xBE \xEF\xBF\xBF", // overlong, surrogate, >U+10FFFF, nonchars
         "\xEE\x80\x80\xEE\x83\xBF \xEE\x80\x80\x41"},                       // the escape range itself
    };
    for (std::size_t row = 0; row < rows.size(); ++row) {
        SCOPED_TRACE("row " + std::to_string(row));
        expectRoundTrip(rows[row]);
    }
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 80);
    for (int round = 0; round < 300 && !HasFailure(); ++round) {
        SCOPED_TRACE("random round " + std::to_string(round));
        std::vector<std::string> values(4);
        for (auto& v : values)
            for (int i = length(random); i > 0; --i)
                v += static_cast<char>(byte(random));
        expectRoundTrip(values);
    }
    // Records stay readable by anything that reads plain XML.
    XmlTool tool;
    EXPECT_EQ(tool.makeElement("a", tool.encode("plain text"), false), "<a>plain text</a>");
}

TEST(XmlToolTest, FindLooksAtDirectChildrenOfTheRootOnly)
{
    XmlTool reader("<root><a>first</a><nested><b>inner</b></nested><a>second</a><c/></root>");
    EXPECT_TRUE(reader.wellFormed());
    const std::vector<std::pair<std::string, std::pair<bool, std::string>>> rows = {
        {"a", {true, "first"}}, {"c", {true, ""}}, {"b", {false, ""}}, {"root", {false, ""}}, {"missing", {false, ""}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(reader.find(row.first), row.second) << row.first;
    EXPECT_FALSE(XmlTool().find("a").first);
}

TEST(XmlToolTest, MalformedTextFindsNothing)
{
    const char* const texts[] = {"",
                                 "garbage",
                                 "<root><a>x</a>",
                                 "<root><a>x</b></root>",
                                 "<root><a>x</a></root><second/>",
                                 "<root><a>x</a></root>trailing",
                                 "<root><a>&bogus;</a></root>",
                                 "<root><a>\x01</a></root>",
                                 "<root><a>\xC3\x28</a></root>",
                                 "<root><a attr=>x</a></root>",
                                 "<<<>>>&&&"};
    for (const char* text : texts) {
        XmlTool reader(text);
        EXPECT_FALSE(reader.wellFormed()) << text;
        EXPECT_FALSE(reader.find("a").first) << text;
    }
}

} // namespace
