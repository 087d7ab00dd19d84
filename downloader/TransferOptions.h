#pragma once

#include <QNetworkProxy>
#include <boost/optional.hpp>
#include <cstdint>
#include <string>

// Settings one request may give for its own transfer, in the JSON object of its envelope's
// details, each in place of the configuration: "ignoreSslErrors" (true or false),
// "requestTimeoutMs" (a whole number; 0 or less: no limit), "proxy" ("none",
// "http://HOST:PORT" or "socks5://HOST:PORT"). A key that is missing or not of that form leaves
// the configuration in charge.
struct TransferOptions
{
    boost::optional<bool> ignoreSslErrors;
    boost::optional<std::int32_t> requestTimeoutMs;
    boost::optional<QNetworkProxy> proxy;

    static TransferOptions from(const std::string& details);
};
