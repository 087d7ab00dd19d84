#pragma once

#include <QNetworkProxy>
#include <boost/optional.hpp>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Settings one request may give for its own transfer, in the JSON object of its envelope's
// details, each in place of the configuration: "ignoreSslErrors" (true or false),
// "requestTimeoutMs" (a whole number; 0 or less: no limit), "proxy" ("none",
// "http://HOST:PORT" or "socks5://HOST:PORT"), "maxRate" (bytes a second), "connections" (1 to 16), "userAgent" (a text), "fileName" (the saved
// file's name, no folder), "timestamp" (false: the saved file keeps the time it was written rather than the server's
// Last-Modified), "headers" (pairs of name and value, each pair as a list of two texts). A key that is missing or not
// of that form leaves the configuration (or haul's default) in charge; a header outside the request rules is left out.
struct TransferOptions
{
    boost::optional<bool> ignoreSslErrors;
    boost::optional<std::int32_t> requestTimeoutMs;
    boost::optional<QNetworkProxy> proxy;
    QByteArray userAgent;       // empty: haul/VERSION
    bool keepServerTime = true; // the saved file takes the server's Last-Modified
    std::string fileName;       // the saved file's name; empty: the server's or the URL's
    std::int64_t maxRate = 0;   // bytes a second for this transfer; 0: no limit of its own
    int connections = 0;        // 1 to 16; 0: Downloader/Connections
    std::vector<std::pair<QByteArray, QByteArray>> headers;

    static TransferOptions from(const std::string& details);
};
