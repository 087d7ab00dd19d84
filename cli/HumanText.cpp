#include "HumanText.h"

#include "ClientEvent.h"

#include <QJsonObject>
#include <algorithm>
#include <cctype>
#include <map>
#include <utility>
#include <vector>

namespace human {

namespace {

// Standard phrases, with the older wordings some servers still send.
const std::vector<std::pair<int, const char*>> phrases = {
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Content Too Large"},
    {413, "Payload Too Large"},
    {413, "Request Entity Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {416, "Requested Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Content"},
    {422, "Unprocessable Entity"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {511, "Network Authentication Required"},
};

bool sameWords(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

std::string httpWords(int status)
{
    const std::string phrase = reasonPhrase(status);
    return "HTTP " + std::to_string(status) + (phrase.empty() ? "" : " " + phrase);
}

// "id ID", or "this id" when the report names none.
std::string download(const std::string& id)
{
    return id.empty() ? std::string("this id") : "id " + id;
}

std::string tlsWords(const std::string& cause)
{
    static const std::map<std::string, std::string> known = {
        {"untrusted issuer", "certificate not trusted (untrusted issuer)"},
        {"self-signed certificate", "certificate not trusted (self-signed)"},
        {"host name mismatch", "host name mismatch (the certificate names another host)"},
        {"expired certificate", "certificate expired"},
        {"expired", "certificate expired"},
    };
    const auto found = known.find(cause);
    return found != known.end() ? found->second : cause;
}

std::string waitWords(int seconds)
{
    return seconds >= 0 ? " (the server asks to wait " + std::to_string(seconds) + " s)" : "";
}

} // namespace

Report Report::fromJson(const QJsonObject& object, const std::string& id)
{
    Report report;
    report.type = object.value("type").toString().toStdString();
    report.code = object.value("code").toInt();
    report.text = (object.contains("text") ? object.value("text") : object.value("error")).toString().toStdString();
    report.id = id;
    report.httpStatus = object.value("httpStatus").toInt();
    report.tlsCause = object.value("tlsCause").toString().toStdString();
    report.retryAfter = object.value("retryAfter").toInt(-1);
    return report;
}

Report Report::fromEvent(const ClientEvent& event)
{
    Report report;
    report.type = event.type;
    report.code = event.code;
    report.text = event.text;
    report.id = event.session;
    return report;
}

std::string reasonPhrase(int status)
{
    for (const auto& phrase : phrases) {
        if (phrase.first == status)
            return phrase.second;
    }
    return {};
}

int httpStatusOf(const std::string& text)
{
    const std::string marker = "server replied: ";
    const std::size_t at = text.rfind(marker);
    if (at == std::string::npos)
        return 0;
    std::string phrase = text.substr(at + marker.size());
    while (!phrase.empty() && std::isspace(static_cast<unsigned char>(phrase.back())))
        phrase.pop_back();
    for (const auto& known : phrases) {
        if (sameWords(phrase, known.second))
            return known.first;
    }
    return 0;
}

std::string text(const Report& report)
{
    const int status = report.httpStatus > 0 ? report.httpStatus : httpStatusOf(report.text);
    switch (report.code) {
    case 257:
        return "the component takes no more downloads at once (Downloader/MaxDownloads)";
    case 258:
        return contains(report.text, "write")
                   ? "cannot write to the partial file (disk full?)"
                   : "cannot create the partial file (does the folder exist, is it writable?)";
    case 259:
        return "the connection closed before the whole file arrived; the partial file is kept for a resume";
    case 261:
        return status > 0 ? "the server answered " + httpWords(status) + " instead of the file"
                          : "the server answered neither 200 nor 206 nor a redirect";
    case 262:
        return "canceled by an abort";
    case 263:
        return "the server refused the user name and password";
    case 264:
        return "the server asks for a user name and password (give --user NAME)";
    case 265:
        return "TLS handshake failed: " + (report.tlsCause.empty()
                                               ? std::string("the server's certificate was not accepted")
                                               : tlsWords(report.tlsCause));
    case 266:
        return "HTTP 410 Gone: the file is no longer on the server";
    case 269:
        return "no paused or interrupted download with " + download(report.id) + " to resume";
    case 270:
        return "no running download with " + download(report.id);
    case 271:
        return "cannot move the finished file to its final name";
    case 272:
        return "no download with " + download(report.id) + " (neither running nor paused)";
    case 273:
        return "no data from the server in time (Downloader/RequestTimeout); the partial file is kept";
    case 274:
        return "Digest verification failed: the file's SHA-1 is not the one given, so the file was removed";
    case 275:
        return "a download with " + download(report.id) + " is already running";
    case 511:
        return contains(report.text, "redirection") ? "too many redirects (more than 5)"
                                                    : "the transfer ended without a result";
    default:
        break;
    }
    if (status > 0)
        return httpWords(status) + waitWords(report.retryAfter);
    if (report.code == 260 && (report.text == "Critical unknown error" || report.text == "No payload received"))
        return "the component failed unexpectedly: " + report.text;
    // "Error transferring URL - server replied: PHRASE": the row already names the file.
    const std::size_t replied = report.text.rfind("server replied: ");
    if (replied != std::string::npos)
        return "the " + report.text.substr(replied);
    return report.text;
}

std::string withCode(const Report& report)
{
    return text(report) + (report.code != 0 ? " (code " + std::to_string(report.code) + ")" : "");
}

} // namespace human
