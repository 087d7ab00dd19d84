#pragma once

#include <atomic>
#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class DownloadService;
class EventHub;

// The owner's client interface: HTTP/1.1 with JSON bodies (Boost.Beast) on a Unix socket and,
// when asked, on a loopback TCP address that also requires the token and a Host and Origin of
// its own. One thread accepts per listener and one thread serves each connection, so an event
// stream may block its thread. Owned by the owner's main function; stop() before destruction.
class ApiServer
{
public:
    ApiServer(DownloadService& service, EventHub& hub);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Replaces a stale socket file; the socket is made 0600.
    bool listenUnix(const std::string& path, std::string* error);
    // address: a literal IPv4 or IPv6 address; port 0 picks one (see tcpPort()).
    bool listenTcp(const std::string& address, unsigned short port, const std::string& token, std::string* error);
    unsigned short tcpPort() const { return boundPort; }

    // Requests served or under way now, event streams included.
    int busyCount() const { return busy; }
    // Called with one line per request served (method, path without the query, status).
    void setRequestLog(std::function<void(const std::string&)> log) { requestLog = std::move(log); }
    // Further requests get 503; event streams keep going until the hub closes.
    void refuseNew() { refusing = true; }
    // Closes the listeners and every connection, and waits for their threads.
    void stop();

    // Largest request body accepted.
    static constexpr std::size_t maxBody = 1 << 20;

private:
    using Protocol = boost::asio::generic::stream_protocol;
    struct Listener;
    struct Connection;

    void acceptLoop(Listener& listener);
    void serve(const std::shared_ptr<Connection>& connection, bool tcp);

    DownloadService& service;
    EventHub& hub;
    boost::asio::io_context io;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::string token;
    std::function<void(const std::string&)> requestLog;
    std::set<std::string> tcpHosts; // Host values a TCP request may carry
    unsigned short boundPort = 0;
    std::atomic<int> busy{0};
    std::atomic<bool> refusing{false};
    std::atomic<bool> stopping{false};

    // Guards connections.
    std::mutex mutex;
    std::vector<std::shared_ptr<Connection>> connections;
};
