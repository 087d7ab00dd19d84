#pragma once

#include <QJsonObject>
#include <memory>
#include <string>

// A client of the owner's interface on its Unix socket. Requests are synchronous, one
// connection each; an EventStream reads Server-Sent Events on a connection of its own.
// Usable from any thread, one call at a time per object.
class ServiceClient
{
public:
    struct Answer
    {
        int status = 0; // 0: the owner could not be reached; error says why
        QJsonObject body;
        std::string error;
    };

    // One event of the stream: name empty for plain data lines.
    struct Event
    {
        std::string name;
        std::string data;
    };

    class EventStream
    {
    public:
        EventStream();
        ~EventStream();
        EventStream(const EventStream&) = delete;
        EventStream& operator=(const EventStream&) = delete;

        // Returns once the owner has answered, so every later event is seen.
        bool open(const std::string& socketPath, const std::string& target, std::string* error);
        // Blocks until an event arrives; false once the stream has ended or was closed.
        bool next(Event& event);
        // From any thread: makes a blocked next() return false.
        void close();

    private:
        struct Impl;
        std::unique_ptr<Impl> impl;
    };

    explicit ServiceClient(std::string socketPath) : socket(std::move(socketPath)) {}

    Answer get(const std::string& target) { return request("GET", target, nullptr); }
    Answer post(const std::string& target, const QJsonObject& body) { return request("POST", target, &body); }
    // True when an owner accepts connections on the socket now.
    bool reachable() const;

private:
    Answer request(const std::string& method, const std::string& target, const QJsonObject* body);

    std::string socket;
};
