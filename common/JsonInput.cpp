#include "JsonInput.h"

#include "InputPolicy.h"

#include <QByteArray>
#include <QJsonDocument>

QJsonObject jsonObjectFrom(const char* data, std::size_t size, std::string* error)
{
    std::string problem;
    QJsonObject object;
    if (size > inputPolicy::maxBodyBytes) {
        problem = "the body is larger than 1 MiB";
    } else {
        problem = inputPolicy::jsonDepthProblem(data, size);
    }
    if (problem.empty()) {
        QJsonParseError parseError{};
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromRawData(data, static_cast<int>(size)), &parseError);
        if (parseError.error != QJsonParseError::NoError)
            problem = "malformed JSON: " + parseError.errorString().toStdString();
        else if (!document.isObject())
            problem = "the body must be a JSON object";
        else
            object = document.object();
    }
    if (error)
        *error = problem;
    return object;
}
