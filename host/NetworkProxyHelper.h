#pragma once

#include <cstdint>
#include <string>

// Proxy description for one address. Kind: 0 default, 1 SOCKS5, 2 none,
// 3 HTTP, 4 FTP caching.
struct NetworkProxy
{
    std::string host;
    std::string userName;
    std::string password;
    std::uint16_t port = 0;
    int type = 2;
};

class NetworkProxyHelper
{
public:
    static NetworkProxy getProxy(const std::string& url);
};
