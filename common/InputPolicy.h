#pragma once

#include <cstddef>
#include <string>

// What a download request may hold, the same at every door: the Unix socket, the TCP interface,
// NATS messages, and the command line before it sends. Each check returns why a value is
// refused, empty when it is accepted. None recurses or backtracks: each is one pass over its
// input, and long input is refused by its length before anything else looks at it.
namespace inputPolicy {

// A URL, counted after percent-decoding.
constexpr std::size_t maxUrlBytes = 8 * 1024;
constexpr std::size_t maxIdLength = 200;
// A request body, a NATS message.
constexpr std::size_t maxBodyBytes = 1 << 20;
// Downloads in one request.
constexpr std::size_t maxBatch = 1000;
// A folder, a user name, a password.
constexpr std::size_t maxFieldBytes = 4096;
// Arrays and objects inside one another in a JSON body; ours nest two deep.
constexpr int maxJsonDepth = 8;

// An http, https or ftp URL with a host ("bad URL \"...\": missing host").
std::string urlProblem(const std::string& url);
// 1 to 200 letters, digits and "-_.~+:@", not starting with "." (an id names a partial file
// and a URL path segment).
std::string idProblem(const std::string& id);
// 40 hexadecimal digits in any case; lower-cased in place when accepted.
std::string sha1Problem(std::string& sha1);
// At most maxFieldBytes, no NUL (named in the text as name).
std::string fieldProblem(const std::string& name, const std::string& value);

// Request headers a download may add to its own requests.
constexpr std::size_t maxHeaders = 32;
// "Name: value": an HTTP token as name, none of those haul itself sets (Host, Range, If-Range,
// Accept-Encoding, Connection and the framing ones), a value of at most maxFieldBytes without
// control characters. *name and *value are the parts when accepted.
std::string headerProblem(const std::string& header, std::string* name = nullptr, std::string* value = nullptr);
// The name a saved file is to take: 1 to 255 bytes, no "/", no control character, not "." or "..".
std::string fileNameProblem(const std::string& name);
// A User-Agent: 1 to 200 printable characters.
std::string userAgentProblem(const std::string& agent);

// text for quoting in a refusal: one line, at most 100 bytes and "…".
std::string quoted(const std::string& text);

} // namespace inputPolicy
