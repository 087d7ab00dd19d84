#include "HumanText.h"

#include "ClientEvent.h"
#include "Outcome.h"

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

std::string httpWords(int status)
{
    const std::string phrase = reasonPhrase(status);
    return "HTTP " + std::to_string(status) + (phrase.empty() ? "" : " " + phrase);
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
    report.cause = Cause::from(object);
    return report;
}

Report Report::fromEvent(const ClientEvent& event)
{
    Report report;
    report.type = event.type;
    report.code = event.code;
    report.text = event.text;
    report.id = event.session;
    report.cause = event.cause;
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

std::string text(const Report& report)
{
    const Cause& cause = report.cause;
    const int status = cause.httpStatus;
    // An empty partial file is removed: nothing is left to resume from.
    const std::string kept = cause.bytesKept > 0    ? std::to_string(cause.bytesKept) + " bytes are kept for a resume"
                             : cause.bytesKept == 0 ? std::string("nothing was received")
                                                    : std::string("the partial file is kept for a resume");
    switch (static_cast<Code>(report.code)) {
    case Code::LimitReached:
        return "the component takes no more downloads at once (Downloader/MaxDownloads)";
    case Code::CannotWrite:
        return "cannot create or write the partial file (is the disk full, the folder writable?)";
    case Code::CutShort:
        return "the connection closed before the whole file arrived; " + kept;
    case Code::NotAFile:
        return status > 0 ? "the server answered " + httpWords(status) + " instead of the file"
                          : "the server's answer was not the file (a redirect to nowhere)";
    case Code::Canceled:
        return "aborted";
    case Code::CredentialsRefused:
        return "the server refused the user name and password";
    case Code::CredentialsRequired:
        return "the server asks for a user name and password (give --user NAME)";
    case Code::TlsFailed:
        return "TLS handshake failed: " + (cause.tlsCause.empty()
                                               ? std::string("the server's certificate was not accepted")
                                               : tlsWords(cause.tlsCause));
    case Code::Gone:
        return "HTTP 410 Gone: the file is no longer on the server";
    case Code::CannotSave:
        return "cannot move the finished file to its final name; it is kept for a resume";
    case Code::TimedOut:
        return "no data from the server in time (Downloader/RequestTimeout); " + kept;
    case Code::DigestMismatch:
        return "Digest verification failed: the file's SHA-1 is not the one given, so the file was removed";
    case Code::Unset:
        return cause.network == NetworkCause::TooManyRedirects ? "too many redirects (more than 5)"
                                                               : "the transfer ended without a result";
    case Code::CannotResume:
    case Code::NothingToPause:
    case Code::NothingToAbort:
    case Code::IdInUse:
        // The owner's own sentence says what is wrong and what to do.
        return report.text;
    default:
        break;
    }
    if (status > 0)
        return httpWords(status) + waitWords(cause.retryAfter);
    switch (cause.network) {
    case NetworkCause::Refused:
        return "connection refused";
    case NetworkCause::Reset:
        return "the connection was closed or reset; " + kept;
    case NetworkCause::HostNotFound:
        return "host not found";
    case NetworkCause::TimedOut:
        return "no answer in time";
    case NetworkCause::Proxy:
        return "the proxy failed: " + report.text;
    default:
        break;
    }
    return report.text;
}

std::string withCode(const Report& report)
{
    return text(report) + (report.code != 0 ? " (code " + std::to_string(report.code) + ")" : "");
}

} // namespace human
