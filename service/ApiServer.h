#pragma once

#include "ApiAccess.h"

#include <atomic>
#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class DownloadService;
class EventHub;

// The owner's client interface: HTTP/1.1 with JSON bodies (Boost.Beast) on a Unix socket and,
// when asked, on a TCP address guarded by ApiAccess. Every door is bounded: open connections
// per door (above it a 503 and a close), deadlines for a request's head and body, for writing
// an answer and for an idle keep-alive connection. Connections run on two threads of one
// io_context whatever their number; calls into the service run on two more, so a slow store
// never stalls a connection. Owned by the owner's main function; stop() before destruction.
class ApiServer
{
public:
    struct Limits
    {
        int connectionsPerDoor = 256;
        std::chrono::seconds request{10}; // to read a request's head, and again its body
        std::chrono::seconds idle{15};    // a keep-alive connection waiting for its next request
        std::chrono::seconds write{30};   // to write an answer, or one batch of events
    };

    ApiServer(DownloadService& service, EventHub& hub, Limits limits);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Replaces a stale socket file; the socket is made 0600.
    bool listenUnix(const std::string& path, std::string* error);
    // A listening Unix socket handed over by systemd (socket activation); its file is systemd's.
    bool adoptUnix(int fd, std::string* error);
    // address: a literal IPv4 or IPv6 address; port 0 picks one (see tcpPort()). hostNames:
    // the names besides the address that a Host header may give (the machine's, a proxy's).
    bool listenTcp(const std::string& address, unsigned short port, const std::string& token,
                   const std::vector<std::string>& hostNames, std::string* error);
    unsigned short tcpPort() const { return boundPort; }
    // "http://ADDRESS:PORT/" of the TCP door, IPv6 in brackets; empty without one.
    std::string tcpUrl() const { return baseUrl; }
    // A one-time link to the page; empty without a TCP door.
    std::string newPageLink();

    // Requests served or under way now, event streams included.
    int busyCount() const { return busy; }
    // Connections open now, over all doors.
    int openCount() const;
    // Called with one line per request served (method, path without the query, status).
    void setRequestLog(std::function<void(const std::string&)> log) { requestLog = std::move(log); }
    // Further requests get 503; event streams keep going until the hub closes.
    void refuseNew() { refusing = true; }
    // Closes the listeners; streams and answers under way get two seconds to finish.
    void stop();

private:
    using Protocol = boost::asio::generic::stream_protocol;
    struct Door;
    class Connection;
    friend class Connection;

    void serve(const std::shared_ptr<Door>& door);
    bool listen(const std::shared_ptr<Door>& door, const Protocol::endpoint& endpoint, std::string* error);
    void accept(const std::shared_ptr<Door>& door);
    void forget(Connection* connection);

    // Declared so that what a connection touches as it ends outlives the io_context and the
    // workers, whose pending handlers may hold the last reference to it.
    DownloadService& service;
    EventHub& hub;
    const Limits limits;
    std::atomic<int> busy{0};
    std::atomic<bool> refusing{false};
    std::atomic<bool> stopping{false};
    // Guards connections.
    mutable std::mutex mutex;
    std::map<Connection*, std::weak_ptr<Connection>> connections;
    std::function<void(const std::string&)> requestLog;
    unsigned short boundPort = 0;
    std::string baseUrl;
    std::unique_ptr<ApiAccess> access; // with the TCP door only
    boost::asio::io_context io;
    std::vector<std::shared_ptr<Door>> doors;
    // Calls into the service, which may wait for its store: enough that the starts of many
    // clients wait for one disk sync together.
    boost::asio::thread_pool workers{8};
    std::vector<std::thread> threads;
};
