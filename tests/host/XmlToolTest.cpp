#include "XmlTool.h"

#include <gtest/gtest.h>
#include <memory>
#include <random>

namespace {

const char* const kFields[] = {"destinationFolder", "url", "fileHash", "temporalFilename"};

// Builds a record the way the persistence templates do, then reads every field back.
std::vector<std::pair<bool, std::string>> roundTrip(const std::vector<std::string>& values)
{
    std::unique_ptr<IXMLTool> writer(bootStrapCreate());
    std::string body;
    for (std::size_t i = 0; i < values.size(); ++i)
        body += writer->makeElement(kFields[i], writer->encode(values[i]), false);
    const std::string text = writer->makeElement("HaulwrightPersistedRequest", body, false);
    std::unique_ptr<IXMLTool> reader(bootStrapCreate(text, boost::any(0)));
    std::vector<std::pair<bool, std::string>> out;
    for (std::size_t i = 0; i < values.size(); ++i)
        out.push_back(reader->find(kFields[i]));
    return out;
}

void expectRoundTrip(const std::vector<std::string>& values)
{
    const auto found = roundTrip(values);
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_TRUE(found[i].first) << kFields[i];
        EXPECT_EQ(found[i].second, values[i]) << kFields[i];
    }
}

std::string allBytes()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

TEST(XmlToolTest, MarkupCharactersAndLineBreaksRoundTrip)
{
    expectRoundTrip({"/tmp/a <b> & \"c\" 'd'/", "http://h/p?a=1&b=<2>&c=]]>", "line1\nline2\r\nline3\rend",
                     "\ttabbed\t  spaced  "});
    expectRoundTrip({"", "", "", ""});
    expectRoundTrip({"&amp; already escaped &lt;", "<![CDATA[x]]>", "<!-- c -->", "<?pi x?>"});
}

TEST(XmlToolTest, EveryByteValueRoundTrips)
{
    const std::string bytes = allBytes();
    std::string reversed(bytes.rbegin(), bytes.rend());
    expectRoundTrip({bytes, reversed, std::string(1, '\0'), std::string("a\0b", 3)});
}

TEST(XmlToolTest, UnicodeAndInvalidUtf8RoundTrip)
{
    expectRoundTrip(
        {"Grüße/日本語/😀", "\xC3\x28 \xA0\xA1 \xE2\x28\xA1 \xF0\x28\x8C\x28", // invalid sequences
         "\xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xEF\xBF\xBE \xEF\xBF\xBF", // overlong, surrogate, >U+10FFFF, nonchars
         "\xEE\x80\x80\xEE\x83\xBF \xEE\x80\x80\x41"});                      // the escape range itself
}

TEST(XmlToolTest, RandomBytesRoundTrip)
{
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 80);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> values(4);
        for (auto& v : values) {
            const int n = length(random);
            for (int i = 0; i < n; ++i)
                v += static_cast<char>(byte(random));
        }
        const auto found = roundTrip(values);
        for (std::size_t i = 0; i < 4; ++i)
            ASSERT_EQ(found[i].second, values[i]) << "round " << round << " field " << i;
    }
}

TEST(XmlToolTest, EncodedTextIsPlainXmlCharacterData)
{
    XmlTool tool;
    const std::string encoded = tool.encode(allBytes() + "]]>");
    EXPECT_EQ(encoded.find('<'), std::string::npos);
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(encoded[i]);
        EXPECT_TRUE(c >= 0x20 || c == '\t' || c == '\n') << "raw control byte " << int(c) << " at " << i;
        if (c == '&') {
            const bool entity = encoded.compare(i, 5, "&amp;") == 0 || encoded.compare(i, 4, "&lt;") == 0 ||
                                encoded.compare(i, 4, "&gt;") == 0 || encoded.compare(i, 6, "&quot;") == 0 ||
                                encoded.compare(i, 6, "&apos;") == 0 || encoded.compare(i, 2, "&#") == 0;
            EXPECT_TRUE(entity) << "bare & at " << i;
        }
    }
    EXPECT_EQ(tool.makeElement("a", "b", false), "<a>b</a>");
    EXPECT_EQ(tool.encode("plain text"), "plain text");
}

TEST(XmlToolTest, FindLooksAtDirectChildrenOfTheRootOnly)
{
    XmlTool reader("<root><a>first</a><nested><b>inner</b></nested><a>second</a><c/></root>");
    EXPECT_TRUE(reader.wellFormed());
    EXPECT_EQ(reader.find("a"), std::make_pair(true, std::string("first")));
    EXPECT_EQ(reader.find("c"), std::make_pair(true, std::string()));
    EXPECT_EQ(reader.find("b"), std::make_pair(false, std::string()));
    EXPECT_EQ(reader.find("root"), std::make_pair(false, std::string()));
    EXPECT_EQ(reader.find("missing"), std::make_pair(false, std::string()));
    EXPECT_EQ(reader.foundCount(), 2u);
    EXPECT_EQ(reader.missingCount(), 3u);

    // A record without its url node: the other fields are still found.
    XmlTool partial("<HaulwrightPersistedRequest><destinationFolder>/d/</destinationFolder>"
                    "<fileHash>ab</fileHash></HaulwrightPersistedRequest>");
    EXPECT_EQ(partial.find("url").first, false);
    EXPECT_EQ(partial.find("fileHash").second, "ab");
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
    XmlTool writer;
    EXPECT_FALSE(writer.find("a").first);
}

} // namespace
