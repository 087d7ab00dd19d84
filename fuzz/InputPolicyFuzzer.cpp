// The input policy, the same at every door: each check accepts exactly its documented set, and
// each refusal is one line that quotes a bounded part of the input however long it is.
#include "FuzzSupport.h"
#include "InputPolicy.h"
#include "JsonInput.h"

#include <QString>
#include <QUrl>
#include <cstdint>
#include <string>

namespace {

using fuzz::fail;

void checkQuoted(const std::string& text)
{
    const std::string q = inputPolicy::quoted(text);
    // Two quotes, 100 bytes and a three-byte ellipsis.
    if (!fuzz::isOneLine(q) || q.size() > 2 + 100 + 3 || q.front() != '"' || q.back() != '"')
        fail("quoted: not one line of at most 100 bytes between quotes", text, q);
}

void checkId(const std::string& id)
{
    const std::string problem = inputPolicy::idProblem(id);
    fuzz::expectReplyText("idProblem: refusal text", problem, id);
    bool documented = !id.empty() && id.size() <= 200 && id.front() != '.';
    for (const char c : id) {
        documented = documented && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                    std::string("-_.~+:@").find(c) != std::string::npos);
    }
    if (problem.empty() != documented)
        fail(documented ? "idProblem refused a documented id" : "idProblem accepted an id outside the set", id,
             problem);
    // What an accepted id must never be, as it names a file and a path segment.
    if (problem.empty() &&
        (id == "." || id == ".." || id.find('/') != std::string::npos || id.find('\\') != std::string::npos))
        fail("idProblem accepted a path", id);
}

void checkSha1(const std::string& text)
{
    std::string sha1 = text;
    const std::string problem = inputPolicy::sha1Problem(sha1);
    fuzz::expectReplyText("sha1Problem: refusal text", problem, text);
    bool hex = text.size() == 40;
    for (const char c : text)
        hex = hex && fuzz::isHexDigit(c);
    if (problem.empty() != hex)
        fail(hex ? "sha1Problem refused 40 hex digits" : "sha1Problem accepted other than 40 hex digits", text,
             problem);
    if (problem.empty() && sha1 != fuzz::lowerAscii(text))
        fail("sha1Problem did not lower-case an accepted digest", text, sha1);
    if (!problem.empty() && sha1 != text)
        fail("sha1Problem changed a refused value", text, sha1);
}

void checkField(const std::string& value)
{
    const std::string problem = inputPolicy::fieldProblem("dir", value);
    fuzz::expectReplyText("fieldProblem: refusal text", problem, value);
    const bool fine = value.size() <= inputPolicy::maxFieldBytes && value.find('\0') == std::string::npos;
    if (problem.empty() != fine)
        fail("fieldProblem: not exactly at most 4096 bytes without NUL", value, problem);
}

void checkUrl(const std::string& text)
{
    const std::string problem = inputPolicy::urlProblem(text);
    fuzz::expectReplyText("urlProblem: refusal text", problem, text);
    if (!problem.empty())
        return;
    const std::size_t separator = text.find("://");
    const std::string scheme =
        separator == std::string::npos ? std::string() : fuzz::lowerAscii(text.substr(0, separator));
    if (scheme != "http" && scheme != "https" && scheme != "ftp")
        fail("urlProblem accepted a scheme other than http, https and ftp", text);
    if (fuzz::percentDecodedSize(text) > inputPolicy::maxUrlBytes)
        fail("urlProblem accepted more than 8 KiB decoded", text);
    if (!fuzz::isOneLine(text) || text.find(' ') != std::string::npos)
        fail("urlProblem accepted blanks or control characters", text);
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        fail("urlProblem accepted a URL without a host", text, url.errorString().toStdString());
    if (url.port() != -1 && (url.port() < 1 || url.port() > 65535))
        fail("urlProblem accepted a port out of range", text);
}

// Past the first 8 levels the rest of the text cannot matter; the check never reads past it.
void checkJsonDepth(const std::string& text)
{
    const std::string problem = jsonShapeProblem(text.data(), text.size());
    fuzz::expectReplyText("jsonShapeProblem: refusal text", problem, text);
    const std::string nine(9, '[');
    const std::string deep = nine + text;
    if (jsonShapeProblem(deep.data(), deep.size()).empty())
        fail("jsonShapeProblem accepted nine levels", deep);
    // One more level outside cannot make a text too deep acceptable. (A key read twice may
    // differ: an unclosed string at the end takes the closing brace into it.)
    const std::string wrapped = "{\"a\":" + text + "}";
    if (problem.find("nested deeper") != std::string::npos && jsonShapeProblem(wrapped.data(), wrapped.size()).empty())
        fail("jsonShapeProblem accepted a text too deep inside an object", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkQuoted(text);
    checkId(text);
    checkSha1(text);
    checkField(text);
    checkUrl(text);
    checkJsonDepth(text);
    // Around the 8 KiB limit: the same text behind a path long enough to reach it, so escapes
    // decide which side it falls. Every fourth input: parsing 8 KiB URLs is slow.
    if (size > 0 && data[0] % 4 == 0) {
        const std::size_t pad = inputPolicy::maxUrlBytes - 20 - data[0] % 64;
        checkUrl("http://example.org/" + std::string(pad, 'a') + text);
        // A long field is refused at once, whatever it holds.
        checkField(std::string(inputPolicy::maxFieldBytes + 1 - data[0] % 2, 'x') + text);
        checkId(std::string(200 - data[0] % 4, 'a') + text);
    }
    return 0;
}
