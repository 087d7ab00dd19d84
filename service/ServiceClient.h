#pragma once

#include <QJsonObject>
#include <chrono>
#include <memory>
#include <string>

// A client of the owner's interface on its Unix socket. Requests are synchronous, one
// connection each; an EventStream reads Server-Sent Events on a connection of its own.
// Usable from any thread, one call at a time per object. An owner that stops answering (hung,
// stopped, swamped) is given up on after Service/AnswerWaitSeconds, never waited for forever.
class ServiceClient
{
public:
    // Service/AnswerWaitSeconds of this process's configuration.
    static std::chrono::milliseconds configuredWait();
    // The owner pings every event stream this often; a stream silent for three pings is dead.
    static constexpr std::chrono::seconds pingEvery{5};

    struct Answer
    {
        int status = 0; // 0: the owner could not be reached; error says why
        QJsonObject body;
        std::string error;
        bool silent = false; // sent, but not answered in time: it may still be carried out
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

        // Returns once the owner has answered, so every later event is seen; false with silent()
        // when it did not answer in time.
        bool open(const std::string& socketPath, const std::string& target, std::string* error);
        // Blocks until an event arrives; false once the stream has ended, was closed, or went
        // silent for longer than the owner's pings allow (then silent() is true).
        bool next(Event& event);
        bool silent() const;
        // From any thread: makes a blocked next() return false.
        void close();

    private:
        struct Impl;
        std::unique_ptr<Impl> impl;
    };

    explicit ServiceClient(std::string socketPath, std::chrono::milliseconds answerWait = configuredWait())
        : socket(std::move(socketPath)), answerWait(answerWait)
    {
    }

    Answer get(const std::string& target) { return request("GET", target, nullptr); }
    Answer post(const std::string& target, const QJsonObject& body) { return request("POST", target, &body); }
    // True when an owner accepts connections on the socket now.
    bool reachable() const;

private:
    Answer request(const std::string& method, const std::string& target, const QJsonObject* body);

    std::string socket;
    std::chrono::milliseconds answerWait;
};
