// A JSON object from outside: exactly what Qt's own parser reads as an object nested at most 8
// deep, in UTF-8 and without a key twice, comes back unchanged; everything else gives an empty
// object and a one-line reason, and nothing leaks. The depth is counted on the parsed document,
// not on the text as jsonObjectFrom does.
#include "FuzzSupport.h"
#include "InputPolicy.h"
#include "JsonInput.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <cstdint>
#include <sanitizer/lsan_interface.h>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    const std::string input(text, size);
    std::string error;
    const QJsonObject object = jsonObjectFrom(text, size, &error);
    fuzz::expectReplyText("jsonObjectFrom: reason", error, input);
    if (jsonObjectFrom(text, size) != object)
        fuzz::fail("jsonObjectFrom depends on whether the reason is asked for", input);

    // Qt's parser leaks the value a repeated key replaces: the model's own parse may leak, what
    // jsonObjectFrom does above may not.
    QJsonParseError parseError{};
    QJsonDocument document;
    {
        __lsan::ScopedDisabler modelOnly;
        document = QJsonDocument::fromJson(QByteArray(text, static_cast<int>(size)), &parseError);
    }
    const bool isObject = parseError.error == QJsonParseError::NoError && document.isObject();
    const int depth = isObject ? fuzz::jsonDepth(document.object()) : 0;
    // Refused before parsing, where Qt would not: text that is not UTF-8, a key given twice.
    const bool notUtf8 = error.find("not UTF-8") != std::string::npos;
    if (notUtf8 && QString::fromUtf8(text, static_cast<int>(size)).toUtf8() == QByteArray(text, static_cast<int>(size)))
        fuzz::fail("jsonObjectFrom called UTF-8 text not UTF-8", input, error);
    const bool twice = error.rfind("JSON with a key twice", 0) == 0;
    const bool expected =
        isObject && depth <= inputPolicy::maxJsonDepth && size <= inputPolicy::maxBodyBytes && !notUtf8 && !twice;
    if (expected != error.empty())
        fuzz::fail(expected ? "jsonObjectFrom refused an object within the limits"
                            : "jsonObjectFrom accepted other than an object within the limits",
                   input, error + " (depth " + std::to_string(depth) + ")");
    if (expected && object != document.object())
        fuzz::fail("jsonObjectFrom changed the object", input,
                   QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString());
    if (!expected && !object.isEmpty())
        fuzz::fail("jsonObjectFrom refused but returned members", input);
    return 0;
}
