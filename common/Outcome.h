#pragma once

#include <QJsonObject>
#include <cstdint>
#include <string>

// The codes of status reports, named by meaning. The bus carries them as plain numbers, and
// bus clients read them so; everything of ours names them here.
enum class Code : std::int32_t
{
    Ok = 0,
    LimitReached = 257,
    CannotWrite = 258, // the partial file cannot be created or written
    CutShort = 259,    // fewer bytes than announced, or an answer that does not add up
    Failed = 260,      // an exception, or a network error without a code of its own
    NotAFile = 261,    // an answer other than 200 or 206, or a redirect nowhere
    Canceled = 262,
    CredentialsRefused = 263,
    CredentialsRequired = 264,
    TlsFailed = 265,
    Gone = 266, // HTTP 410
    CannotResume = 269,
    NothingToPause = 270,
    CannotSave = 271, // the finished file cannot take its final name
    NothingToAbort = 272,
    TimedOut = 273,
    DigestMismatch = 274,
    IdInUse = 275,
    Unset = 511, // no code was set; what the redirect limit leaves
};

constexpr std::int32_t number(Code code)
{
    return static_cast<std::int32_t>(code);
}

// What the network said when a transfer failed: the kind of failure, told apart where the
// network library names it, so that nobody reads it from a text again.
enum class NetworkCause
{
    None,
    Refused, // nothing listens there
    Reset,   // the peer closed or reset the connection
    HostNotFound,
    TimedOut,
    Tls,
    Proxy,
    TooManyRedirects,
    Other,
};

const char* nameOf(NetworkCause cause);
// NetworkCause::None for a name it does not know.
NetworkCause networkCauseNamed(const std::string& name);

// Why a transfer ended as it did: made where it ended and carried with its report.
struct Cause
{
    NetworkCause network = NetworkCause::None;
    int httpStatus = 0;          // of the last answer; 0: none
    std::string tlsCause;        // why a handshake failed ("untrusted issuer"), empty when it did not
    int retryAfter = -1;         // seconds the server asked to wait; -1: not asked
    std::int64_t bytesKept = -1; // what the partial file holds for a resume; -1: not known

    bool operator==(const Cause& other) const;
    // "network", "httpStatus", "tlsCause", "retryAfter", "bytesKept" added to object, each only
    // when it says something.
    void addTo(QJsonObject& object) const;
    static Cause from(const QJsonObject& object);
    // One compact JSON object, for the envelope of a report.
    std::string toText() const;
    static Cause fromText(const std::string& text);
};
