#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The demo's file server: one generated file on 127.0.0.1 over HTTP/1.1 (Boost.Beast), at a
// given rate, honouring "Range: bytes=N-", one line noted per request. One thread accepts and
// one serves each connection. Owned by the demo; stop() or destruction ends every thread.
class DemoServer
{
public:
    DemoServer(std::uint64_t size, std::uint64_t bytesPerSecond, std::uint32_t seed, std::string path);
    ~DemoServer();
    DemoServer(const DemoServer&) = delete;
    DemoServer& operator=(const DemoServer&) = delete;

    // Listens on a free loopback port and computes the file's SHA-1; false with *error.
    bool start(std::string* error);
    void stop();

    std::string url() const;
    const std::string& sha1() const { return digest; }
    // "REQUEST GET /path Range: bytes=N-" (or "no Range") for each request since the last call.
    std::vector<std::string> takeLines();

private:
    struct Impl;
    // The file's bytes from offset, the same for any split of the file into ranges.
    void fill(std::uint64_t offset, char* out, std::size_t length) const;
    void acceptLoop();
    void serve(int fd);

    const std::uint64_t size;
    const std::uint64_t rate;
    const std::uint32_t seed;
    const std::string path;
    std::string digest;
    std::unique_ptr<Impl> impl;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    // Guards lines, connections and open.
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::thread> connections;
    std::vector<int> open;
};
